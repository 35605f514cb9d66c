"""Deterministic generator of realistic Korean text for benchmarks.

Three profiles:
  prose  - Korean sentences with numbers that are not personal data (prices, dates, counts,
           order numbers); no personal data.
  mixed  - customer-service chats, forms and log lines with about one personal-data item per
           300 bytes, a fifth of them disguised (full-width digits, Hangul numerals, spaces/dots/
           hyphens, masked tails, lookalike letters).
  dense  - CSV rows (quoted fields, a header every 40 rows) of numbers, phones, cards and
           accounts.

    python bench/corpus.py mixed 1000000 > mixed.txt
"""

from __future__ import annotations

import random
import sys

SUBJECTS = ["고객님", "상담사", "담당자", "저희 매장", "배송 기사님", "관리자", "회원님", "본사"]
VERBS = ["확인했습니다", "안내해 드렸습니다", "접수되었습니다", "처리 중입니다", "변경되었습니다",
         "요청하셨습니다", "완료되었습니다", "검토하겠습니다"]
NOUNS = ["주문", "배송", "환불", "교환", "예약", "결제", "상품", "문의", "쿠폰", "포인트", "회원 등급"]
FILLER = ["오늘", "내일", "이번 주", "지난달", "오전에", "오후에", "빠르게", "다시 한번", "정확히", "곧"]

HANGUL_DIGITS = "공일이삼사오육칠팔구"
DENSE_HEADER = '"번호","연락처","카드번호","계좌번호","금액","날짜"'
FULLWIDTH = {str(d): chr(0xFF10 + d) for d in range(10)}


def _rrn_check(first12: str, foreigner: bool = False) -> str:
    w = (2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5)
    s = sum(int(d) * k for d, k in zip(first12, w))
    c = (11 - s % 11) % 10
    return str((c + 2) % 10 if foreigner else c)


def _luhn(body: str) -> str:
    total = 0
    for i, d in enumerate(reversed(body)):
        v = int(d) * (2 if i % 2 == 0 else 1)
        total += v - 9 if v > 9 else v
    return body + str((10 - total % 10) % 10)


def _business(first9: str) -> str:
    w = (1, 3, 7, 1, 3, 7, 1, 3, 5)
    d = [int(c) for c in first9]
    s = sum(a * b for a, b in zip(d, w)) + (d[8] * 5) // 10
    return first9 + str((10 - s % 10) % 10)


class Gen:
    def __init__(self, seed: int):
        self.r = random.Random(seed)

    def digits(self, n: int) -> str:
        return "".join(self.r.choice("0123456789") for _ in range(n))

    # ---- personal data ------------------------------------------------------------------

    def rrn(self) -> str:
        yy = self.r.randint(50, 99)
        mm = self.r.randint(1, 12)
        dd = self.r.randint(1, 28)
        g = self.r.choice("12")
        first12 = f"{yy:02d}{mm:02d}{dd:02d}{g}" + self.digits(5)
        n = first12 + _rrn_check(first12)
        return f"{n[:6]}-{n[6:]}"

    def phone(self) -> str:
        return f"010-{self.r.randint(1000, 9999)}-{self.r.randint(1000, 9999)}"

    def card(self) -> str:
        n = _luhn("4" + self.digits(14))
        return "-".join(n[i:i + 4] for i in range(0, 16, 4))

    def account(self) -> str:
        return f"{self.digits(3)}-{self.digits(2)}-{self.digits(6)}"

    def email(self) -> str:
        user = "".join(self.r.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(self.r.randint(4, 9)))
        return f"{user}{self.r.randint(1, 99)}@{self.r.choice(['example.com', 'mail.co.kr', 'test.org'])}"

    def business(self) -> str:
        n = _business(self.digits(9))
        return f"{n[:3]}-{n[3:5]}-{n[5:]}"

    def disguise(self, value: str) -> str:
        kind = self.r.randrange(5)
        if kind == 0:
            return "".join(FULLWIDTH.get(c, c) for c in value)
        if kind == 1:
            return "".join(HANGUL_DIGITS[int(c)] if c.isdigit() else c for c in value)
        if kind == 2:
            return value.replace("-", self.r.choice([" ", ".", " - "]))
        if kind == 3:
            digits = [i for i, c in enumerate(value) if c.isdigit()]
            keep = len(digits) // 2
            chars = list(value)
            for i in digits[keep:]:
                chars[i] = "*"
            return "".join(chars)
        return value.replace("0", "O", 1).replace("1", "l", 1)

    def pii_line(self) -> str:
        kind = self.r.randrange(6)
        if kind == 0:
            cue, value = "주민등록번호", self.rrn()
        elif kind == 1:
            cue, value = "연락처", self.phone()
        elif kind == 2:
            cue, value = "카드번호", self.card()
        elif kind == 3:
            cue, value = "계좌번호", self.account()
        elif kind == 4:
            cue, value = "이메일", self.email()
        else:
            cue, value = "사업자등록번호", self.business()
        if kind != 4 and self.r.random() < 0.2:
            value = self.disguise(value)
        return self.r.choice([
            f"{cue}는 {value} 입니다.",
            f"[상담] {self.r.choice(SUBJECTS)}: {cue} {value} 로 {self.r.choice(VERBS)}",
            f"{cue}: {value}",
            f"네, {value} 맞으세요? {self.r.choice(FILLER)} {self.r.choice(VERBS)}",
        ])

    # ---- text that is not personal data -------------------------------------------------

    def sentence(self) -> str:
        r = self.r
        pick = r.randrange(6)
        if pick == 0:
            return f"{r.choice(SUBJECTS)}께서 {r.choice(NOUNS)} 건을 {r.choice(FILLER)} {r.choice(VERBS)}."
        if pick == 1:
            return f"{r.choice(NOUNS)} 금액은 {r.randint(1, 999):,}{r.choice(['000', '500', '900'])}원이며 {r.choice(VERBS)}."
        if pick == 2:
            return f"{r.randint(2020, 2026)}년 {r.randint(1, 12)}월 {r.randint(1, 28)}일에 {r.choice(NOUNS)}이 {r.choice(VERBS)}."
        if pick == 3:
            return f"총 {r.randint(2, 40)}개의 {r.choice(NOUNS)} 내역을 {r.choice(FILLER)} {r.choice(VERBS)}."
        if pick == 4:
            return f"{r.choice(NOUNS)} 처리 시간은 약 {r.randint(1, 59)}분, 대기 인원은 {r.randint(1, 300)}명입니다."
        return f"{r.choice(FILLER)} {r.choice(SUBJECTS)}의 {r.choice(NOUNS)} 요청을 {r.choice(VERBS)}."

    def log_line(self) -> str:
        r = self.r
        return (f"2026-{r.randint(1, 12):02d}-{r.randint(1, 28):02d} {r.randint(0, 23):02d}:"
                f"{r.randint(0, 59):02d}:{r.randint(0, 59):02d} INFO {r.choice(NOUNS)} "
                f"req={r.randint(1000, 99999)} 상태={r.choice(VERBS)}")

    def dense_row(self) -> str:
        # Every field quoted, as spreadsheet exports write them: bare commas between numbers
        # would be absorbed as separators and run the whole row together into one number.
        r = self.r
        fields = [str(r.randint(1, 10**6)), self.phone(), self.card(), self.account(),
                  f"{r.randint(1, 99999)}", f"{r.randint(1, 12)}/{r.randint(1, 28)}"]
        return ",".join(f'"{f}"' for f in fields)


def generate(profile: str, size: int, seed: int = 7) -> str:
    """About `size` UTF-8 bytes of text in the given profile (same seed, same text)."""
    g = Gen(seed)
    parts: list[str] = []
    total = 0
    while total < size:
        if profile == "prose":
            line = g.sentence()
        elif profile == "mixed":
            # ~300 bytes of ordinary text per personal-data item.
            line = g.pii_line() if g.r.random() < 0.22 else (
                g.log_line() if g.r.random() < 0.3 else g.sentence())
        elif profile == "dense":
            # A header with the column names every 40 rows, as in concatenated exports.
            line = DENSE_HEADER if len(parts) % 40 == 0 else g.dense_row()
        else:
            raise ValueError(f"unknown profile {profile!r}")
        parts.append(line)
        total += len(line.encode("utf-8")) + 1
    return "\n".join(parts)


if __name__ == "__main__":
    prof = sys.argv[1] if len(sys.argv) > 1 else "mixed"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000
    sys.stdout.write(generate(prof, n))
