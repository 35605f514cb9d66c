"""Normalization throughput against the cost of encoding the same text to UTF-8.

    PYTHONPATH=build/dev python3 bench/bench_normalize.py [megabytes]

Prints MB/s (UTF-8 bytes of the input per second) for `kestrix.normalize` on a generated mixed
Korean text, each pass alone, and a text that triggers no pass, with the ratio to
`text.encode("utf-8")` measured in the same run. Each call gets a fresh str, so converting
the argument to UTF-8 is counted.
"""

import random
import sys
import time

import kestrix as kx

FLAGS = ("nfc", "fold", "hangul", "lookalike", "separator")

WORDS = ["고객님", "주문", "배송", "확인했습니다", "안내해", "드렸습니다", "오늘", "내일", "상품",
         "문의", "접수되었습니다", "결제", "환불", "이번", "주에", "다시", "한번", "정확히", "곧",
         "회원", "등급", "쿠폰", "예약", "변경", "처리", "중입니다", "감사합니다", "그리고"]
HANGUL_DIGITS = "공일이삼사오육칠팔구"
# Characters that make some pass look closer: removed from the text that should pass untouched.
TRIGGERS = set("0123456789IlOo -.,()\t·공영빵일이둘삼셋사넷오육륙칠팔구십백천만억하다여아")


def disguised_number(r):
    digits = "".join(r.choice("0123456789") for _ in range(r.choice((4, 6, 8, 11, 13))))
    kind = r.randrange(7)
    if kind == 0:
        return digits
    if kind == 1:
        return "".join(chr(0xFF10 + int(d)) for d in digits)
    if kind == 2:
        return "".join(HANGUL_DIGITS[int(d)] for d in digits)
    if kind == 3:
        return "-".join(digits[i:i + 4] for i in range(0, len(digits), 4))
    if kind == 4:
        return digits[:3] + " " + digits[3:6] + "." + digits[6:]
    if kind == 5:
        return digits.replace("0", "O", 1).replace("1", "l", 1)
    return r.choice(["이천이십오년", "삼만 원", "십이월", "백 개"])


def corpus(megabytes, seed=7):
    r = random.Random(seed)
    parts, size, target = [], 0, int(megabytes * 1_000_000)
    while size < target:
        sentence = " ".join(r.choice(WORDS) for _ in range(r.randint(4, 12)))
        if r.random() < 0.5:
            sentence += " " + disguised_number(r) + " " + r.choice(WORDS)
        if r.random() < 0.1:
            sentence += " Order no. " + str(r.randrange(10**6)) + " (ok)"
        sentence += ".\n"
        parts.append(sentence)
        size += len(sentence.encode())
    return "".join(parts)


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def only(flag):
    c = kx.Config()
    for f in FLAGS:
        setattr(c, f, f == flag)
    return c


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 4.0
    repeat = 5
    mixed = corpus(megabytes)
    plain = "".join(c for c in mixed if c not in TRIGGERS and not "\uff01" <= c <= "\uff5e")
    nbytes = len(mixed.encode())
    pbytes = len(plain.encode())

    enc = best_of(lambda: mixed.encode("utf-8"), repeat)
    enc_rate = nbytes / enc / 1e6
    print(f"corpus: {nbytes / 1e6:.2f} MB UTF-8, {len(mixed)} characters")
    print(f"{'case':<28}{'MB/s':>10}{'vs encode':>12}")
    print(f"{'text.encode(utf-8)':<28}{enc_rate:>10.0f}{1.0:>11.2f}x")

    def row(name, seconds, size=nbytes):
        rate = size / seconds / 1e6
        print(f"{name:<28}{rate:>10.0f}{enc_rate / rate:>11.2f}x slower")

    copies = [mixed[:-1] + mixed[-1] for _ in range(repeat)]
    it = iter(copies)
    row("normalize", best_of(lambda: kx.normalize(next(it)), repeat))
    for flag in FLAGS:
        cfg = only(flag)
        row(f"{flag} alone", best_of(lambda: kx.normalize(mixed, cfg), repeat))
    cfg = only("none")
    row("all passes off", best_of(lambda: kx.normalize(mixed, cfg), repeat))

    enc_plain = best_of(lambda: plain.encode("utf-8"), repeat)
    kx.normalize(plain)
    rate = pbytes / best_of(lambda: kx.normalize(plain), repeat) / 1e6
    print(f"{'no triggers, all passes':<28}{rate:>10.0f}"
          f"{pbytes / enc_plain / 1e6 / rate:>11.2f}x slower")


if __name__ == "__main__":
    main()
