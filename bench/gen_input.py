#!/usr/bin/env python3
"""Writes a deterministic timing input of about SIZE bytes.

mixed: 70% plain lines of 10-120 bytes, 15% PIPE lines, 5% RULES lines and
10% stale TIM lines. rare: the same kinds, with 1% keyword lines in all.
The same kind and size always give the same bytes.
"""
import random
import sys

ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789 ,.=_-"
WORDS = ["load", "wash", "rinse", "dry", "sort", "pack", "seal", "label", "stack", "ship"]


def line_pool(rng, count, make):
    return [make(rng) for _ in range(count)]


def plain(rng):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(9, 119))) + "\n"


def pipe(rng):
    return "stage PIPE:%d:%s\n" % (rng.randint(1, 500), rng.choice(WORDS))


def rules(rng):
    return "RULES:%s:clk=%d:edge=%s\n" % (rng.choice(WORDS), rng.randint(50, 200),
                                          rng.choice(["rise", "fall"]))


def tim(rng):
    return "TIM,%s,100,100,100,100\n" % ",".join(str(rng.randint(0, 99)) for _ in range(8))


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("mixed", "rare"):
        sys.exit("usage: gen_input.py mixed|rare SIZE_BYTES OUTPUT")
    kind, size, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = random.Random(20261208)
    # Draw lines from pools, which keeps generation fast at any size while the
    # sequence of lines stays irregular.
    pools = {
        "plain": line_pool(rng, 50000, plain),
        "pipe": line_pool(rng, 5000, pipe),
        "rules": line_pool(rng, 500, rules),
        "tim": line_pool(rng, 2000, tim),
    }
    if kind == "mixed":
        weights = [70, 15, 5, 10]
    else:
        weights = [99, 0.5, 0.2, 0.3]
    kinds = rng.choices(["plain", "pipe", "rules", "tim"], weights, k=1 << 16)
    written = 0
    with open(path, "w", encoding="ascii", newline="\n") as out:
        chunk = []
        i = 0
        while written < size:
            pool = pools[kinds[i & 0xFFFF]]
            text = pool[rng.randrange(len(pool))]
            chunk.append(text)
            written += len(text)
            i += 1
            if len(chunk) >= 10000:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))


if __name__ == "__main__":
    main()
