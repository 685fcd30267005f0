#!/usr/bin/env python3
"""Deterministic data sets for bench/anchors/run.

generate.py OUT MEGABYTES FILES

OUT/ascii.txt    English-like ASCII lines with e-mail addresses, ISO dates
                 and log words (error, warning, failed, timeout, denied)
OUT/utf8.txt     the same text with some words in non-ASCII letters (UTF-8)
OUT/utf16.txt    utf8.txt as UTF-16LE with a byte order mark
OUT/rare-*.txt   the same three forms with the log words about six times rarer
                 (about one line in sixteen holds one), as in ordinary prose
OUT/long/minified.js  4 MiB of minified-script-like text on one line
OUT/long/letter.txt   4 MiB of the letter b, no line break
OUT/small/NNNNN.txt  FILES files of 2 to 6 KB cut from the ASCII text

The same arguments always give the same bytes. No line is empty.
"""
import os
import random
import sys

WORDS = ("the of and to in is was that for on are with as his they be at one have this from "
         "or had by word but what some we can out other were all there when up use your how "
         "said an each she which do their time if will way about many then them write would "
         "like so these her long make thing see him two has look more day could go come did "
         "number sound no most people my over know water than call first who may down side "
         "been now find any new work part take get place made live where after back little "
         "only round man year came show every good me give our under name very through just "
         "form sentence great think say help low line differ turn cause much mean before move "
         "right boy old too same tell does set three want air well also play small end put "
         "home read hand port large spell add even land here must big high such follow act "
         "why ask men change went light kind off need house picture try us again animal point").split()
LOG = ["error", "warning", "failed", "timeout", "denied", "Error", "ERROR"]
NON_ASCII = ["café", "naïve", "Größe", "straße", "élan", "señor", "smörgåsbord", "Ørsted",
             "déjà", "œuvre", "Zürich", "façade", "πλάνο", "данные", "日本語"]


COMMON_LOG = 0.03  # share of words that are log words
RARE_LOG = 0.008


def lines(rng, non_ascii, log_rate):
    while True:
        n = rng.randint(4, 18)
        out = []
        for _ in range(n):
            r = rng.random() - log_rate + COMMON_LOG
            if r < COMMON_LOG:
                out.append(rng.choice(LOG))
            elif r < 0.045:
                out.append("%s.%s@%s-%s.%s" % (rng.choice(WORDS), rng.choice(WORDS), rng.choice(WORDS),
                                               rng.choice(WORDS), rng.choice(["com", "org", "co.uk"])))
            elif r < 0.06:
                out.append("%04d-%02d-%02d" % (rng.randint(1990, 2030), rng.randint(1, 12), rng.randint(1, 28)))
            elif non_ascii and r < 0.12:
                out.append(rng.choice(NON_ASCII))
            else:
                out.append(rng.choice(WORDS))
        yield " ".join(out) + "\n"


def write_text(path, size, non_ascii, seed, log_rate=COMMON_LOG):
    rng = random.Random(seed)
    written = 0
    with open(path, "w", encoding="utf-8", newline="") as f:
        buf = []
        for line in lines(rng, non_ascii, log_rate):
            buf.append(line)
            written += len(line.encode("utf-8")) if non_ascii else len(line)
            if len(buf) >= 4096:
                f.write("".join(buf))
                buf = []
            if written >= size:
                break
        f.write("".join(buf))


def write_utf16(src_path, dst_path):
    with open(src_path, encoding="utf-8") as src, open(dst_path, "wb") as dst:
        dst.write(b"\xff\xfe")
        while True:
            chunk = src.read(1 << 20)
            if not chunk:
                break
            dst.write(chunk.encode("utf-16-le"))


MINIFIED_NAMES = ("function return var let const this window document length push prototype call "
                  "apply e t n r i o a s u c l f d p h m g v y b w x k _ $ jQuery undefined null "
                  "true false Object Array createElement addEventListener").split()
MINIFIED_PUNCT = "( ) { } ; , . = == === ! && || + - * / ? : [ ] < >".split()


def write_long(out):
    """One-line files: minified-script-like text and a run of one letter."""
    size = 4 << 20
    rng = random.Random(3)
    parts = []
    n = 0
    while n < size:
        r = rng.random()
        if r < 0.5:
            t = rng.choice(MINIFIED_NAMES)
        elif r < 0.85:
            t = rng.choice(MINIFIED_PUNCT)
        elif r < 0.95:
            t = str(rng.randint(0, 99999))
        elif r < 0.99:
            t = '"%s"' % rng.choice(MINIFIED_NAMES)
        else:
            t = '"%04d-%02d-%02d"' % (rng.randint(1990, 2030), rng.randint(1, 12), rng.randint(1, 28))
        parts.append(t)
        n += len(t)
    os.makedirs(os.path.join(out, "long"), exist_ok=True)
    with open(os.path.join(out, "long", "minified.js"), "w", newline="") as f:
        f.write("".join(parts)[:size])
    with open(os.path.join(out, "long", "letter.txt"), "w", newline="") as f:
        f.write("b" * size)


def main():
    out, megabytes, files = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    os.makedirs(os.path.join(out, "small"), exist_ok=True)
    size = int(megabytes * 1048576)
    write_text(os.path.join(out, "ascii.txt"), size, False, 1)
    write_text(os.path.join(out, "utf8.txt"), size, True, 1)
    write_utf16(os.path.join(out, "utf8.txt"), os.path.join(out, "utf16.txt"))
    write_text(os.path.join(out, "rare-ascii.txt"), size, False, 4, RARE_LOG)
    write_text(os.path.join(out, "rare-utf8.txt"), size, True, 4, RARE_LOG)
    write_utf16(os.path.join(out, "rare-utf8.txt"), os.path.join(out, "rare-utf16.txt"))
    write_long(out)
    rng = random.Random(2)
    with open(os.path.join(out, "ascii.txt"), "rb") as f:
        pool = f.read(8 << 20)
    for i in range(files):
        n = rng.randint(2048, 6144)
        at = rng.randint(0, len(pool) - n - 1) if len(pool) > n + 1 else 0
        piece = pool[at:at + n]
        piece = piece[piece.find(b"\n") + 1:]
        with open(os.path.join(out, "small", "%05d.txt" % i), "wb") as f:
            f.write(piece)


if __name__ == "__main__":
    main()
