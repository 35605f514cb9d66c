"""Recall on record-shaped lines: labeled CSV/TSV rows, lists, logs, forms and phone lists.

    python bench/quality.py                        # 10000 generated lines, seed 7
    python bench/quality.py --lines 20000 --seed 3 --json /tmp/q.json

Personal data in exports and logs stands next to other numbers: a resident number in one CSV
field and a phone in the next, a list number or a bullet before a value, a date or an amount
just before a phone. This script makes such lines deterministically (same seed, same lines),
each with the character spans of the personal-data values it holds, and measures what
`kestrix` finds in them.

Each labeled value is counted three ways:
- found:  one finding of `detect(line)` has a source span that contains the whole value. Its
          entity is not compared (a phone masked as an account is still masked); a finding
          that only overlaps the value does not count, since part of the value stays readable.
- exact:  a finding of the value's own entity has exactly the value's span.
- masked: no character of the value is left in `mask(line)`. The line is masked with a fill
          policy, which replaces each character by one fill character, so the output lines up
          character for character with the line and the check needs nothing from the
          mask's own account of what it applied. Which parts of a text are replaced does not
          depend on the policy.
Stray findings are findings that overlap no labeled value. The same count is taken on real
movie reviews (`../shared/corpus/reviews.txt`, Korean prose without personal data): every
finding there is a stray, reported per MB of UTF-8 with its entities and rules.

Every value is written with the cue word (if any) that makes it a finding when it stands alone:
`lone` is the share of values found in their own cue-and-value text cut out of the line. A value
that is missed even there is a matter of how the value itself is read, not of its neighbours
(the +82 forms and invisible characters are such values while they are not read); the `plain`
layout is the same control as lines of their own.

Fixed lines: `rows` (nine record lines whose values were all missed, numbers standing side by
side), `international` (+82 phones), `invisible` (a zero-width character between digits),
`overlap` (an e-mail address whose local part reaches back into a phone number) and `formats`
(one of each form below); their table shows the output of `mask(line)` with the default policies.

The `formats` layout holds the forms Korean keyboards and forms add beyond the core rules:
separators typed as ㆍ • ∙ ㅡ, the new passport (M123A4567), birth dates in words and slashes,
bank names as the account's cue, 0082 phones and invisible characters inside e-mail addresses.

Results are printed as tables and written to bench/quality.json (not committed).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import sys
import time
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kestrix as kx  # noqa: E402
from corpus import _business, _luhn, _rrn_check  # noqa: E402

REVIEWS = HERE.parent.parent / "shared" / "corpus" / "reviews.txt"
FILL = "\ue000"  # a private-use character: never part of a generated line

ENTITIES = ("resident", "foreigner_registration", "business_registration", "credit_card",
            "bank_account", "phone", "email", "driver_license", "birth_date", "passport")

# Cue words strong enough for a value that needs one. Accounts, licences, birth dates and
# passports are found only next to such a word; the others are found without one.
CUES = {
    "resident": ["주민번호", "주민등록번호"],
    "foreigner_registration": ["외국인등록번호"],
    "business_registration": ["사업자번호", "사업자등록번호"],
    "credit_card": ["카드번호", "신용카드", "카드"],
    "bank_account": ["계좌번호", "입금계좌", "환불계좌번호"],
    "phone": ["연락처", "전화번호", "휴대폰", "핸드폰", "전화"],
    "email": ["이메일", "메일"],
    "driver_license": ["운전면허번호", "운전면허", "면허번호"],
    "birth_date": ["생년월일", "출생일"],
    "passport": ["여권번호"],
}
# Keys of key=value logs and JSON objects that need no cue.
KEYS = {
    "resident": ["rrn", "jumin", "ssn"],
    "foreigner_registration": ["frn", "alien_no"],
    "business_registration": ["biz_no", "brn"],
    "credit_card": ["card", "card_no", "pan"],
    "phone": ["phone", "tel", "mobile", "hp"],
    "email": ["email", "mail", "user_email"],
}
NEEDS_CUE = {"bank_account", "driver_license", "birth_date", "passport"}
# The cue words that still carry such a value when a few characters stand between them.
STRONG_CUE = {e: c[0] for e, c in CUES.items()} | {"birth_date": "출생일"}

NAMES = ["홍길동", "김민수", "박지훈", "최수연", "정다은", "강현우", "조민지", "윤서준", "한지민", "송하늘"]
CITIES = ["서울", "부산", "대구", "인천", "광주", "대전", "수원", "제주"]
BANKS = ["국민", "신한", "우리", "하나", "농협", "기업"]
DOMAINS = ["naver.com", "gmail.com", "daum.net", "hanmail.net", "kakao.com", "company.co.kr"]
NOTES = ["확인 완료", "재발송 요청", "배송 전", "환불 처리", "VIP", "미확인", "처리 중"]
INVISIBLE = "\u200b\u200c\u200d\u2060\ufeff"
KEYBOARD_SEPARATORS = "\u318d\u2022\u2219\u3161"  # ㆍ • ∙ ㅡ
BANK_NAMES = ["신한은행", "국민은행", "우리은행", "농협", "수협", "새마을금고", "카카오뱅크", "토스뱅크",
              "케이뱅크"]


# ---- labeled lines ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Label:
    entity: str
    start: int   # character offsets of the value in the line, end exclusive
    end: int
    lone: tuple[int, int]  # the value with its own cue word, which is found standing alone


@dataclass(frozen=True)
class Line:
    layout: str
    text: str
    labels: tuple[Label, ...]


@dataclass
class Value:
    entity: str
    text: str
    needs_cue: bool
    cue: str = ""   # the cue word chosen for it ("" when it needs none and got none)
    lead: str = ""  # written just before the value, not part of it: "(" of "(02) 123-4567"


class _Builder:
    """Appends text and values, recording each value's span and its cue-and-value span."""

    def __init__(self) -> None:
        self.parts: list[str] = []
        self.n = 0
        self.labels: list[Label] = []

    def add(self, s: str) -> "_Builder":
        self.parts.append(s)
        self.n += len(s)
        return self

    def value(self, v: Value, glue: str = " ", cue: str | None = None) -> "_Builder":
        """The value, after its cue word and `glue` when it has a cue (`cue` overrides it)."""
        cue = v.cue if cue is None else cue
        lone_start = self.n
        if cue:
            self.add(cue + glue)
        self.add(v.lead)
        start = self.n
        self.add(v.text)
        self.labels.append(Label(v.entity, start, self.n, (lone_start, self.n)))
        return self

    def line(self, layout: str) -> Line:
        return Line(layout, "".join(self.parts), tuple(self.labels))


def _digits_ok(entity: str, d: str) -> bool:
    """False when another rule with a checksum would claim the digits first (a 10-digit phone
    that happens to pass the business check, an account that passes Luhn, ...)."""
    n = len(d)
    if entity != "business_registration" and n == 10 and _business(d[:9]) == d:
        return False
    if entity != "credit_card" and 13 <= n <= 19 and _luhn(d[:-1]) == d:
        return False
    if entity not in ("resident", "foreigner_registration") and n == 13 and (
            d[12] in (_rrn_check(d[:12]), _rrn_check(d[:12], True))):
        return False
    return True


def _topic(word: str) -> str:
    """The topic particle that follows the word: 은 after a final consonant, else 는."""
    last = ord(word[-1]) - 0xAC00
    return "은" if 0 <= last < 11172 and last % 28 else "는"


def _group(d: str, sizes: tuple[int, ...], sep: str) -> str:
    out, i = [], 0
    for s in sizes:
        out.append(d[i:i + s])
        i += s
    return sep.join(out)


class Gen:
    """Deterministic maker of values and labeled lines."""

    def __init__(self, seed: int):
        self.r = random.Random(seed)

    def digits(self, n: int) -> str:
        return "".join(self.r.choice("0123456789") for _ in range(n))

    def pick(self, seq):
        return self.r.choice(seq)

    # ---- values: digits -----------------------------------------------------------------

    def _date(self, lo: int = 1950, hi: int = 2009) -> tuple[int, int, int]:
        return self.r.randint(lo, hi), self.r.randint(1, 12), self.r.randint(1, 28)

    def resident_digits(self, foreigner: bool = False) -> str:
        y, m, dd = self._date(1950, 2015)
        if foreigner:
            g = self.pick("56") if y < 2000 else self.pick("78")
        else:
            g = self.pick("12") if y < 2000 else self.pick("34")
        first12 = f"{y % 100:02d}{m:02d}{dd:02d}{g}" + self.digits(5)
        return first12 + _rrn_check(first12, foreigner)

    def card_digits(self) -> tuple[str, tuple[int, ...]]:
        kind = self.r.randrange(10)
        if kind == 0:  # 15 digits, 4-6-5
            return _luhn(self.pick(["34", "37"]) + self.digits(12)), (4, 6, 5)
        head = self.pick(["4", "5", "9", "6", "35"])
        return _luhn(head + self.digits(15 - len(head))), (4, 4, 4, 4)

    def phone_digits(self, kind: str | None = None) -> tuple[str, tuple[int, ...]]:
        kind = kind or self.pick(["mobile"] * 5 + ["mobile10", "seoul", "seoul", "landline",
                                                  "landline", "representative"])
        if kind == "mobile":
            return "010" + str(self.r.randint(2, 9)) + self.digits(7), (3, 4, 4)
        if kind == "mobile10":
            return self.pick(["011", "016", "017", "019"]) + str(self.r.randint(2, 9)) + \
                self.digits(6), (3, 3, 4)
        if kind == "seoul":
            if self.r.random() < 0.5:
                return "02" + str(self.r.randint(2, 9)) + self.digits(6), (2, 3, 4)
            return "02" + str(self.r.randint(2, 9)) + self.digits(7), (2, 4, 4)
        if kind == "landline":
            area = self.pick(["031", "032", "033", "041", "042", "051", "052", "053", "055",
                              "061", "062", "064", "070"])
            if self.r.random() < 0.5 and area != "070":
                return area + str(self.r.randint(2, 9)) + self.digits(6), (3, 3, 4)
            return area + str(self.r.randint(2, 9)) + self.digits(7), (3, 4, 4)
        return self.pick(["1588", "1577", "1544", "1600", "1644", "1661", "1899"]) + \
            self.digits(4), (4, 4)

    def account_digits(self) -> tuple[str, tuple[int, ...]]:
        sizes = self.pick([(3, 2, 6), (3, 3, 6), (4, 3, 6), (6, 2, 6), (3, 6, 5), (3, 4, 4, 2),
                           (3, 6, 2, 3)])
        return str(self.r.randint(1, 9)) + self.digits(sum(sizes) - 1), sizes

    def licence_digits(self) -> str:
        region = self.pick([f"{i}" for i in range(11, 27)] + ["28"])
        return region + f"{self.r.randint(0, 99):02d}" + self.digits(6) + \
            f"{self.r.randint(0, 99):02d}"

    # ---- values: whole ------------------------------------------------------------------

    def value(self, entity: str, cue: bool | None = None, seps: str | None = None) -> Value:
        """A valid value of the entity in one of its common written forms. `cue`: True gives
        it a cue word, None lets chance decide, False gives none to a value that can do without
        (accounts, licences, birth dates and passports always get one). `seps` limits the
        separators between digit groups to choose from."""
        r = self.r
        while True:
            v = self._value(entity, seps)
            if v is not None:
                break
        if v.needs_cue and cue is False and entity not in NEEDS_CUE:
            return self.value(entity, cue, seps="-.")       # a phone without spaces
        if v.needs_cue or cue or (cue is None and r.random() < 0.4):
            v.cue = self.pick(CUES[entity])
        return v

    def _value(self, entity: str, seps: str | None) -> Value | None:
        r = self.r

        def sep(choices: str) -> str:
            allowed = [c for c in choices if seps is None or c in seps or c == "n"]
            c = self.pick(allowed)
            return "" if c == "n" else c

        if entity in ("resident", "foreigner_registration"):
            d = self.resident_digits(entity == "foreigner_registration")
            s = sep("---- n")
            return Value(entity, _group(d, (6, 7), s), False)
        if entity == "business_registration":
            d = _business(self.digits(9))
            return Value(entity, _group(d, (3, 2, 5), sep("---- n")), False)
        if entity == "credit_card":
            d, sizes = self.card_digits()
            return Value(entity, _group(d, sizes, sep("--- n")), False)
        if entity == "phone":
            d, sizes = self.phone_digits()
            if not _digits_ok(entity, d):
                return None
            s = sep("----..n ")
            if s == "" and len(sizes) == 2:
                s = "-"
            # Spaces cost too much to stand without a cue word; "(02) 123-4567" too.
            if s == "-" and sizes[0] <= 3 and r.random() < 0.1:
                return Value(entity, f"{d[:sizes[0]]}) " + _group(d[sizes[0]:], sizes[1:], "-"),
                             True, lead="(")
            return Value(entity, _group(d, sizes, s), s == " ")
        if entity == "email":
            user = "".join(self.pick("abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(3, 8)))
            if r.random() < 0.4:
                user += self.pick([".", "_", ""]) + self.pick(["kim", "lee", "park", "choi", "jh"])
            if r.random() < 0.3:
                user += str(r.randint(1, 99))
            return Value(entity, f"{user}@{self.pick(DOMAINS)}", False)
        if entity == "bank_account":
            d, sizes = self.account_digits()
            if not _digits_ok(entity, d):
                return None
            return Value(entity, _group(d, sizes, sep("---n")), True)
        if entity == "driver_license":
            d = self.licence_digits()
            return Value(entity, _group(d, (2, 2, 6, 2), sep("---n")), True)
        if entity == "birth_date":
            y, m, dd = self._date()
            form = r.randrange(5)
            if form == 0:
                text = f"{y % 100:02d}{m:02d}{dd:02d}"
            elif form == 1:
                text = f"{y}{m:02d}{dd:02d}"
            else:
                s = sep("-.")
                text = f"{y}{s}{m:02d}{s}{dd:02d}"
            return Value(entity, text, True)
        if entity == "passport":
            if r.random() < 0.8:
                text = self.pick("MSRGD") + self.digits(8)
            else:
                text = self.pick(["JR", "SC", "PM", "TM"]) + self.digits(7)
            return Value(entity, text, True)
        raise ValueError(entity)

    # ---- layouts ------------------------------------------------------------------------

    def _entity(self, allowed=ENTITIES, cue_free: bool = False) -> str:
        pool = [e for e in allowed if not (cue_free and e in NEEDS_CUE)]
        # Phones, resident numbers and cards are the common ones.
        weights = {"phone": 4, "resident": 3, "credit_card": 2, "email": 2}
        return self.r.choices(pool, [weights.get(e, 1) for e in pool])[0]

    def _trailer(self) -> str:
        """A field that often ends a row: a number that is not personal data, or a word."""
        r = self.r
        k = r.randrange(7)
        if k == 0:
            return str(r.randint(18, 80))                      # age
        if k == 1:
            return f"{r.randint(1, 300) * 1000}"               # amount
        if k == 2:
            return f"{r.randint(2019, 2026)}-{r.randint(1, 12):02d}-{r.randint(1, 28):02d}"
        if k == 3:
            return str(r.randint(1, 5))                        # count, grade
        if k == 4:
            return self.pick(CITIES)
        if k == 5:
            return self.pick(NOTES)
        return self.pick(["Y", "N", "M", "F"])

    def _row(self, layout: str, sep: str, quote: bool = False, edge: str = "") -> Line:
        r = self.r
        b = _Builder().add(edge)
        fields: list = []
        if r.random() < 0.3:
            fields.append(str(r.randint(1, 9999)))            # row number
        fields.append(self.pick(NAMES))
        for _ in range(r.randint(1, 3)):
            fields.append(self.value(self._entity()))
        if r.random() < 0.7:
            fields.append(self._trailer())
        if r.random() < 0.3:
            fields.insert(r.randint(1, len(fields)), self._trailer())
        for i, f in enumerate(fields):
            if i:
                b.add(sep)
            q = '"' if quote else ""
            if isinstance(f, Value):
                b.add(q).value(f, self.pick([" ", ":"]) if f.cue else " ").add(q)
            else:
                b.add(q + f + q)
        return b.add(edge[::-1]).line(layout)

    def csv(self) -> Line:
        r = self.r
        return self._row("csv", ", " if r.random() < 0.15 else ",", quote=r.random() < 0.1)

    def tsv(self) -> Line:
        return self._row("tsv", "\t")

    def pipe(self) -> Line:
        return self._row("pipe", self.pick(["|", " | "]), edge=self.pick(["", "| "]))

    def numbered(self) -> Line:
        r = self.r
        b = _Builder()
        b.add(self.pick(["", "", "  "]) + str(r.randint(1, 30)) + self.pick([". ", ") ", ".", ": "]))
        if r.random() < 0.25:
            b.add(self.pick(NAMES) + " ")
        b.value(self.value(self._entity()))
        if r.random() < 0.2:
            b.add(" " + self.pick(NOTES))
        return b.line("numbered")

    def bulleted(self) -> Line:
        r = self.r
        b = _Builder()
        b.add(self.pick(["", "", "  "]) + self.pick(["* ", "- ", "• ", "· ", "*", "-"]))
        if r.random() < 0.2:
            b.add(self.pick(NAMES) + " ")
        b.value(self.value(self._entity()))
        if r.random() < 0.2:
            b.add(self.pick([", ", " "]) + self.pick(NOTES))
        return b.line("bulleted")

    def keyvalue(self) -> Line:
        r = self.r
        b = _Builder()
        b.add(f"{r.randint(2019, 2026)}-{r.randint(1, 12):02d}-{r.randint(1, 28):02d} "
              f"{r.randint(0, 23):02d}:{r.randint(0, 59):02d}:{r.randint(0, 59):02d} "
              f"{self.pick(['INFO', 'WARN', 'DEBUG'])} ")
        items: list = [f"req={r.randint(1000, 999999)}", f"user={self.pick(['kim', 'lee', 'u'])}"
                       f"{r.randint(1, 9999)}"]
        for _ in range(r.randint(1, 3)):
            items.append(self.value(self._entity(), cue=False if r.random() < 0.5 else None))
        if r.random() < 0.5:
            items.append(f"status={self.pick(['200', '201', '404', '500'])}")
        if r.random() < 0.5:
            items.append(f"ms={r.randint(1, 900)}")
        r.shuffle(items)
        for i, it in enumerate(items):
            if i:
                b.add(" ")
            if isinstance(it, Value):
                if it.cue:                                  # 연락처=010-...
                    b.value(it, "=")
                else:                                       # phone=010-...
                    b.add(self.pick(KEYS[it.entity]) + "=").value(it)
            else:
                b.add(it)
        return b.line("keyvalue")

    def jsonl(self) -> Line:
        r = self.r
        b = _Builder()
        sp = self.pick(["", " "])
        b.add("{" + f'"id":{sp}{r.randint(1, 99999)}')
        if r.random() < 0.7:
            b.add(f',{sp}"name":{sp}"{self.pick(NAMES)}"')
        for _ in range(r.randint(1, 3)):
            v = self.value(self._entity(), cue=False if r.random() < 0.5 else None)
            b.add("," + sp)
            if v.cue:   # the key is the cue word, three or four characters from the value
                b.add('"').value(v, f'":{sp}"', cue=STRONG_CUE[v.entity]).add('"')
            else:
                b.add(f'"{self.pick(KEYS[v.entity])}":{sp}"').value(v).add('"')
        if r.random() < 0.5:
            b.add(f',{sp}"age":{sp}{r.randint(18, 80)}')
        if r.random() < 0.3:
            b.add(f',{sp}"amount":{sp}{r.randint(1, 500) * 100}')
        b.add("}")
        return b.line("jsonl")

    def form(self) -> Line:
        r = self.r
        b = _Builder()
        sep = self.pick([" / ", ", ", " | ", "  ", "; "])
        b.add(f"이름: {self.pick(NAMES)}")
        for _ in range(r.randint(1, 3)):
            e = self._entity()
            v = self.value(e, cue=True)
            if v.entity in NEEDS_CUE:   # "연락처: " and the like put the cue two characters away
                v.cue = STRONG_CUE[v.entity]
            b.add(sep)
            b.value(v, self.pick([": ", ":", " "]))
            if e == "phone" and r.random() < 0.3:   # a second number, in brackets or not
                w = self.value("phone", cue=False)
                before = self.pick([" (", " / ", ", "])
                b.add(before).value(w).add(")" if before == " (" else "")
        if r.random() < 0.3:
            b.add(f"{sep}나이: {r.randint(18, 80)}")
        return b.line("form")

    def phonelist(self) -> Line:
        r = self.r
        b = _Builder()
        b.add(self.pick(CUES["phone"]) + self.pick([" ", ": "]))
        join = self.pick([", ", ",", " ", " / ", "; ", " 또는 "])
        for i in range(r.randint(2, 3)):
            if i:
                b.add(join)
            b.value(self.value("phone", cue=False))
        return b.line("phonelist")

    def _before(self, layout: str, head: str) -> Line:
        b = _Builder()
        b.add(head + self.pick([" ", " ", "  ", "\t"]))
        b.value(self.value(self._entity()))
        if self.r.random() < 0.2:
            b.add(" " + self.pick(NOTES))
        return b.line(layout)

    def date_before(self) -> Line:
        r = self.r
        y, m, d = r.randint(2019, 2026), r.randint(1, 12), r.randint(1, 28)
        head = self.pick([f"{y}.{m:02d}.{d:02d}", f"{y}-{m:02d}-{d:02d}", f"{y}/{m:02d}/{d:02d}",
                          f"{m:02d}/{d:02d}", f"{y % 100:02d}.{m:02d}.{d:02d}",
                          f"{y}.{m:02d}.{d:02d} {r.randint(0, 23):02d}:{r.randint(0, 59):02d}",
                          f"[{y}-{m:02d}-{d:02d}]"])
        return self._before("date_before", head)

    def amount_before(self) -> Line:
        r = self.r
        n = r.randint(1, 2000) * self.pick([100, 500, 1000])
        head = self.pick([f"{n:,}원", f"{n:,}", f"₩{n:,}", str(n), f"{n:,}원 결제"])
        return self._before("amount_before", head)

    def order_before(self) -> Line:
        r = self.r
        y, m, d = r.randint(2019, 2026), r.randint(1, 12), r.randint(1, 28)
        order = self.pick([f"{y}{m:02d}{d:02d}-{r.randint(1, 9999):04d}", f"A-{r.randint(100, 99999)}",
                           f"#{r.randint(100, 99999)}", f"{r.randint(10**9, 10**10 - 1)}",
                           f"No.{r.randint(100, 99999)}"])
        return self._before("order_before", self.pick(["주문", "주문 번호", "주문:"]) + " " + order)

    def cued(self) -> Line:
        r = self.r
        b = _Builder()
        v = self.value(self._entity(), cue=True)
        b.add(self.pick(["", "고객님 ", "[상담] ", "확인 결과 "]))
        b.value(v, self.pick([" ", ": ", _topic(v.cue) + " "]) if v.entity not in NEEDS_CUE else " ")
        b.add(self.pick([" 입니다.", " 로 변경되었습니다.", " 맞으세요?", "", " 확인했습니다."]))
        return b.line("cued")

    def uncued(self) -> Line:
        b = _Builder()
        v = self.value(self._entity(cue_free=True), cue=False)
        b.add(self.pick(["", "네, ", "고객님 ", "메모: "]))
        b.value(v)
        b.add(self.pick([" 로 보내 드렸습니다.", " 맞으세요?", " 입니다.", "", " 확인 부탁드립니다."]))
        return b.line("uncued")

    def plain(self) -> Line:
        b = _Builder()
        return b.value(self.value(self._entity())).line("plain")

    def international(self) -> Line:
        r = self.r
        kind = self.pick(["mobile", "mobile", "seoul", "landline"])
        d, sizes = self.phone_digits(kind)
        s = self.pick(["-", "-", ".", ""])
        rest = _group(d[1:], (sizes[0] - 1,) + sizes[1:], s)
        text = self.pick(["+82 ", "+82-", "+82.", "+82 (0)", "+82", "+82(0)"]) + rest
        v = Value("phone", text, False, self.pick(CUES["phone"]) if r.random() < 0.5 else "")
        b = _Builder()
        if r.random() < 0.3:
            b.add(self.pick(NAMES) + ",").value(v).add("," + self.pick(CITIES))
        else:
            b.value(v)
        return b.line("international")

    def invisible(self) -> Line:
        r = self.r
        v = self.value(self.pick(["resident", "phone", "credit_card", "business_registration"]),
                       seps="-")
        chars = list(v.text)
        gaps = [i for i in range(1, len(chars)) if chars[i - 1].isdigit() or chars[i].isdigit()]
        for _ in range(r.randint(1, 2)):
            i = self.pick(gaps)
            chars.insert(i, self.pick(INVISIBLE))
            gaps = [i for i in range(1, len(chars))
                    if chars[i - 1].isdigit() and (chars[i].isdigit() or chars[i] == "-")]
        v.text = "".join(chars)
        return _Builder().value(v).line("invisible")

    def formats(self) -> Line:
        """The forms Korean keyboards and forms add: separators typed as ㆍ • ∙ ㅡ, the new
        passport, birth dates in words, slashes and dots, bank names as account cues, 0082 phones and
        invisible characters inside e-mail addresses."""
        r = self.r
        kind = self.pick(["separator", "passport", "birth", "bank", "0082", "email"])
        if kind == "separator":
            v = self.value(self.pick(["phone", "resident"]), cue=True)
            v.text = re.sub(r"(?<=\d)[-.\s]+(?=\d)", lambda _: self.pick(KEYBOARD_SEPARATORS),
                            v.text)
            if not re.search("[" + KEYBOARD_SEPARATORS + "]", v.text):
                d = re.sub(r"\D", "", v.text)
                v.text = d[:3] + self.pick(KEYBOARD_SEPARATORS) + d[3:]
        elif kind == "passport":
            v = Value("passport", self.pick("MSRGD") + self.digits(3) + self.pick("ABCDEFGHJK")
                      + self.digits(4), True, self.pick(["여권번호", "Passport No."]))
        elif kind == "birth":
            y, m, d = self._date()
            text = self.pick([f"{y}년 {m}월 {d}일", f"{y}년{m}월{d}일", f"{y % 100:02d}년 {m}월 {d}일생",
                              f"{y}/{m:02d}/{d:02d}", f"{y}/{m}/{d}",
                              f"{y}. {m}. {d}."])
            v = Value("birth_date", text, True, self.pick(["생년월일", "출생일"]))
        elif kind == "bank":
            d, sizes = self.account_digits()
            v = Value("bank_account", _group(d, sizes, "-"), True,
                      self.pick(BANK_NAMES) + self.pick(["", " 통장"]))
        elif kind == "0082":
            k = self.pick(["mobile", "seoul"])
            d, sizes = self.phone_digits(k)
            text = self.pick(["0082-", "0082 ", "0082-(0)"]) + _group(d[1:], (sizes[0] - 1,) +
                                                                       sizes[1:], "-")
            v = Value("phone", text, False, self.pick(CUES["phone"]) if r.random() < 0.5 else "")
        else:
            v = self.value("email", cue=True)
            i = r.randint(1, len(v.text) - 1)
            v.text = v.text[:i] + self.pick(INVISIBLE) + v.text[i:]
        b = _Builder()
        b.add(self.pick(["", "고객님 ", "메모: "]))
        b.value(v)
        b.add(self.pick(["", " 입니다.", " 확인 부탁드립니다."]))
        return b.line("formats")

    LAYOUTS = ("csv", "tsv", "pipe", "numbered", "bulleted", "keyvalue", "jsonl", "form",
               "phonelist", "date_before", "amount_before", "order_before", "cued", "uncued",
               "plain", "international", "invisible", "formats")
    def make(self, layout: str) -> Line:
        return getattr(self, layout)()


def _fixed(layout: str, text: str, *values: tuple[str, str]) -> Line:
    """A fixed line with its labels: (entity, value text) pairs, found left to right."""
    labels, pos = [], 0
    for entity, value in values:
        start = text.index(value, pos)
        labels.append(Label(entity, start, start + len(value), (start, start + len(value))))
        pos = start + 1
    return Line(layout, text, tuple(labels))


RES, PHONE = "880101-1234568", "010-2345-6789"

# Record lines with numbers side by side, each of which is found when it stands alone.
ROW_LINES = (
    _fixed("rows", f"홍길동,{RES},{PHONE},서울", ("resident", RES), ("phone", PHONE)),
    _fixed("rows", f"홍길동\t{RES}\t{PHONE}", ("resident", RES), ("phone", PHONE)),
    _fixed("rows", f"연락처 {PHONE}, 02-123-4567", ("phone", PHONE), ("phone", "02-123-4567")),
    _fixed("rows", f"1. {RES}", ("resident", RES)),
    _fixed("rows", f"* {PHONE}", ("phone", PHONE)),
    _fixed("rows", f"2024.03.12 {PHONE}", ("phone", PHONE)),
    _fixed("rows", f"주민번호 {RES} 1988년생", ("resident", RES)),
    _fixed("rows", "카드 5409-2612-3456-7893 12/27", ("credit_card", "5409-2612-3456-7893")),
    _fixed("rows", f"전화 {PHONE} 팔팔공일공일", ("phone", PHONE)),
)
INTERNATIONAL_LINES = (
    _fixed("international", "+82 10-2345-6789", ("phone", "+82 10-2345-6789")),
    _fixed("international", "+82-2-123-4567", ("phone", "+82-2-123-4567")),
)
INVISIBLE_LINES = (
    _fixed("invisible", "주민번호 880101\u200b-1234568", ("resident", "880101\u200b-1234568")),
)
# An e-mail address whose local part reaches back into the phone number before it.
OVERLAP_LINES = (
    _fixed("overlap", "연락처 010-****-5678kim.minsu@naver.com",
           ("phone", "010-****-5678"), ("email", "kim.minsu@naver.com")),
    _fixed("overlap", "전화 02**영빵7893@naver.com",
           ("phone", "02**영빵7893"), ("email", "7893@naver.com")),
)
# The examples of the forms Korean users type that the core rules stop short of.
FORMAT_LINES = (
    _fixed("formats", "휴대폰 010\u318d2345\u318d6789", ("phone", "010\u318d2345\u318d6789")),
    _fixed("formats", "주민번호 880101\u3161 1234568", ("resident", "880101\u3161 1234568")),
    _fixed("formats", "여권번호 M654B0409", ("passport", "M654B0409")),
    _fixed("formats", "생년월일: 1988년 1월 1일", ("birth_date", "1988년 1월 1일")),
    _fixed("formats", "생년월일 1988/01/01", ("birth_date", "1988/01/01")),
    _fixed("formats", "생년월일 1988. 1. 1.", ("birth_date", "1988. 1. 1.")),
    _fixed("formats", "신한은행 110-123-456789", ("bank_account", "110-123-456789")),
    _fixed("formats", "카카오뱅크 3333-01-1234567", ("bank_account", "3333-01-1234567")),
    _fixed("formats", "0082-10-2345-6789", ("phone", "0082-10-2345-6789")),
    _fixed("formats", "이메일 hong\u200b@example.com", ("email", "hong\u200b@example.com")),
)
FIXED_LINES = ROW_LINES + INTERNATIONAL_LINES + INVISIBLE_LINES + OVERLAP_LINES + FORMAT_LINES


def generate(lines: int, seed: int = 7, layouts=Gen.LAYOUTS) -> list[Line]:
    """`lines` labeled lines, the layouts in turn (same seed, same lines)."""
    g = Gen(seed)
    return [g.make(layouts[i % len(layouts)]) for i in range(lines)]


# ---- measuring -------------------------------------------------------------------------------


# One fill character per character of a finding: the output lines up with the text.
FILL_POLICIES = kx.PolicySet(kx.Policy.redact_fill(FILL))


def masked_chars(text: str) -> list[bool]:
    """For each character of text: whether mask replaces it."""
    out = kx.mask(text, FILL_POLICIES).text
    if len(out) != len(text):
        raise AssertionError(f"a fill mask changed the length of {text!r}: {out!r}")
    return [o == FILL and c != FILL for o, c in zip(out, text)]


@dataclass
class Outcome:
    """What happened to one line: per label found/exact/masked, and the stray findings."""
    line: Line
    found: list[bool]
    exact: list[bool]
    masked: list[bool]
    strays: list = field(default_factory=list)   # (entity, rule, text)


def judge(line: Line) -> Outcome:
    findings = kx.detect(line.text).findings
    spans = [(f.entity, f.source.char_start, f.source.char_end, f.evidence.rule) for f in findings]
    hidden = masked_chars(line.text)
    found, exact, masked = [], [], []
    for lab in line.labels:
        found.append(any(s <= lab.start and lab.end <= e for _, s, e, _ in spans))
        exact.append(any(ent == lab.entity and s == lab.start and e == lab.end
                         for ent, s, e, _ in spans))
        masked.append(all(hidden[lab.start:lab.end]))
    strays = [(ent, rule, line.text[s:e]) for ent, s, e, rule in spans
              if not any(s < lab.end and lab.start < e for lab in line.labels)]
    return Outcome(line, found, exact, masked, strays)


def lone_found(line: Line) -> list[bool]:
    """For each label: whether its value, cut out of the line with its own cue word, is a
    finding standing alone."""
    out = []
    for lab in line.labels:
        a, b = lab.lone
        spans = [(f.source.char_start, f.source.char_end) for f in kx.detect(line.text[a:b]).findings]
        out.append(any(s <= lab.start - a and lab.end - a <= e for s, e in spans))
    return out


def _rate(hit: int, n: int) -> float | None:
    return hit / n if n else None


def summarize(outcomes: list[Outcome]) -> dict:
    by_layout: dict = defaultdict(lambda: Counter())
    by_entity: dict = defaultdict(lambda: Counter())
    cells: dict = defaultdict(lambda: Counter())
    misses: dict = defaultdict(list)
    stray_rules: dict = defaultdict(Counter)
    stray_examples: dict = defaultdict(list)
    for o in outcomes:
        lay = o.line.layout
        lone = lone_found(o.line)
        c = by_layout[lay]
        c["lines"] += 1
        c["strays"] += len(o.strays)
        for ent, rule, text in o.strays:
            stray_rules[lay][f"{ent} {rule}"] += 1
            if len(stray_examples[lay]) < 5:
                stray_examples[lay].append({"rule": rule, "text": text, "line": o.line.text})
        for lab, fd, ex, mk, lo in zip(o.line.labels, o.found, o.exact, o.masked, lone):
            for ctr in (c, by_entity[lab.entity], cells[(lay, lab.entity)]):
                ctr["labels"] += 1
                ctr["found"] += fd
                ctr["exact"] += ex
                ctr["masked"] += mk
                ctr["lone"] += lo
        if not all(o.masked) and len(misses[lay]) < 5:
            misses[lay].append(o.line.text)

    def rates(c: Counter) -> dict:
        d: dict = {k: c[k] for k in ("labels", "found", "exact", "masked", "lone")}
        for k in ("found", "exact", "masked", "lone"):
            d[f"{k}_recall"] = _rate(c[k], c["labels"])
        return d

    layouts = {}
    for lay, c in by_layout.items():
        layouts[lay] = rates(c) | {"lines": c["lines"], "strays": c["strays"],
                                   "stray_rules": dict(stray_rules[lay].most_common(5)),
                                   "stray_examples": stray_examples[lay],
                                   "missed_examples": misses[lay]}
    return {
        "layouts": layouts,
        "entities": {e: rates(by_entity[e]) for e in ENTITIES if by_entity[e]["labels"]},
        "cells": {f"{lay}/{e}": rates(c) for (lay, e), c in sorted(cells.items())},
    }


def reviews_strays(path: Path) -> dict | None:
    """Findings on real movie reviews, which hold no personal data: all of them are strays."""
    if not path.exists():
        return None
    text = path.read_text(encoding="utf-8")
    nbytes = len(text.encode("utf-8"))
    t0 = time.perf_counter()
    findings = kx.detect(text).findings
    seconds = time.perf_counter() - t0
    ents = Counter(f.entity for f in findings)
    rules = Counter(f.evidence.rule for f in findings)
    examples = []
    for f in findings[:: max(1, len(findings) // 8)][:8]:
        a, b = f.source.char_start, f.source.char_end
        examples.append({"entity": f.entity, "rule": f.evidence.rule, "text": text[a:b],
                         "context": text[max(0, a - 12):b + 12].replace("\n", " ")})
    return {"path": str(path), "bytes": nbytes, "findings": len(findings),
            "per_mb": len(findings) / (nbytes / 1e6), "detect_seconds": seconds,
            "entities": dict(ents.most_common()), "rules": dict(rules.most_common(10)),
            "examples": examples}


def run(lines: int, seed: int, reviews: Path | None = REVIEWS) -> dict:
    t0 = time.perf_counter()
    data = list(FIXED_LINES) + generate(lines, seed)
    t_gen = time.perf_counter() - t0
    outcomes = [judge(line) for line in data]
    res = summarize(outcomes)
    t_judge = time.perf_counter() - t0 - t_gen
    res["fixed_lines"] = [
        {"layout": o.line.layout, "text": o.line.text,
         "labels": [[l.entity, l.start, l.end] for l in o.line.labels],
         "found": o.found, "masked": o.masked, "masked_text": kx.mask(o.line.text).text}
        for o in outcomes[:len(FIXED_LINES)]]
    res["reviews"] = reviews_strays(reviews) if reviews else None
    res["meta"] = {"kestrix": kx.__version__, "lines": len(data), "generated": lines,
                   "seed": seed, "python": sys.version.split()[0],
                   "time": time.strftime("%Y-%m-%dT%H:%M:%S"),
                   "seconds": {"generate": t_gen, "judge": t_judge,
                               "total": time.perf_counter() - t0},
                   "load": os.getloadavg()}
    return res


# ---- report ----------------------------------------------------------------------------------


def _pct(x: float | None) -> str:
    return "    -" if x is None else f"{x:5.3f}"


def print_report(res: dict) -> None:
    m = res["meta"]
    print(f"kestrix {m['kestrix']}: {m['lines']} labeled lines ({m['generated']} generated, "
          f"seed {m['seed']})\n")
    print("recall per layout  (found: a finding contains the value; exact: same entity and span;\n"
          "  masked: no character of the value left after mask; lone: found with its cue word alone;\n"
          "  strays: findings that overlap no value)")
    print(f"  {'layout':<15}{'lines':>6}{'values':>7}{'found':>7}{'exact':>7}{'masked':>7}"
          f"{'lone':>7}{'strays':>7}  top stray rules")
    order = list(Gen.LAYOUTS) + ["rows", "overlap"]
    for lay in sorted(res["layouts"], key=lambda k: order.index(k) if k in order else 99):
        d = res["layouts"][lay]
        top = ", ".join(f"{k} {v}" for k, v in list(d["stray_rules"].items())[:2])
        print(f"  {lay:<15}{d['lines']:>6}{d['labels']:>7} {_pct(d['found_recall'])}"
              f"  {_pct(d['exact_recall'])}  {_pct(d['masked_recall'])}  {_pct(d['lone_recall'])}"
              f"{d['strays']:>7}  {top}")
    print("\nrecall per entity (all lines)")
    print(f"  {'entity':<24}{'values':>7}{'found':>7}{'exact':>7}{'masked':>7}")
    for e, d in res["entities"].items():
        print(f"  {e:<24}{d['labels']:>7} {_pct(d['found_recall'])}  {_pct(d['exact_recall'])}"
              f"  {_pct(d['masked_recall'])}")
    print("\nfixed lines (masked by default policies)")
    for f in res["fixed_lines"]:
        ok = "ok  " if all(f["masked"]) else "LEAK"
        print(f"  {ok} {f['layout']:<14}{f['text']!r:<46} -> {f['masked_text']!r}")
    rv = res.get("reviews")
    if rv:
        print(f"\nstray findings on {Path(rv['path']).name} ({rv['bytes'] / 1e6:.1f} MB of movie "
              f"reviews, no personal data): {rv['findings']} findings, {rv['per_mb']:.2f} per MB "
              f"(detect {rv['detect_seconds']:.2f} s)")
        print("  entities: " + ", ".join(f"{k} {v}" for k, v in rv["entities"].items()))
        print("  rules:    " + ", ".join(f"{k} {v}" for k, v in rv["rules"].items()))
        for ex in rv["examples"][:5]:
            print(f"    {ex['rule']:<18} {ex['text']!r:<22} in {ex['context']!r}")
    s = m["seconds"]
    print(f"\ntime: generate {s['generate']:.2f} s, detect and mask {s['judge']:.2f} s, "
          f"total {s['total']:.2f} s (load {m['load'][0]:.2f})")
    misses = {k: v["missed_examples"] for k, v in res["layouts"].items() if v["missed_examples"]}
    if misses:
        print("\nsome lines with a value left visible:")
        for lay, ex in misses.items():
            for t in ex[:2]:
                print(f"  {lay:<15}{t!r}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lines", type=int, default=10000, help="generated lines (default 10000)")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--json", type=Path, default=HERE / "quality.json")
    ap.add_argument("--reviews", type=Path, default=REVIEWS,
                    help="Korean prose without personal data, for stray findings per MB")
    args = ap.parse_args()
    res = run(args.lines, args.seed, args.reviews)
    print_report(res)
    args.json.write_text(json.dumps(res, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
