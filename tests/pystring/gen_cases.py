#!/usr/bin/env python3
"""Writes cases.txt: str and bytes method results of the host python3 over generated texts.

One case a line, fields separated by tabs: method, arguments, "=>", expected. A field is
s:HEX (str, UTF-8 hex), b:HEX (bytes), i:N (int), n (None), B:0/1 (bool), T:f1|f2 (tuple of
fields), L:f1|f2 (list of fields), E:Name (an exception of that class). Where this system
deliberately differs, the expected value is the system's own (marked below).
"""
import itertools
import subprocess
import sys

out_path = sys.argv[1] if len(sys.argv) > 1 else "cases.txt"

perl = ('binmode STDOUT; for my $c (0..0x10FFFF) { next if $c >= 0xD800 && $c <= 0xDFFF; '
        'print "$c\\n" if chr($c) =~ /\\p{Alphabetic}/ }')
ALPHA = {int(x) for x in subprocess.run(["perl", "-e", perl], capture_output=True, text=True, check=True).stdout.split()}

BASE = [
    "", "a", "abc", "hello world", "  a b  ", "a,b,,c", "aaa", "abcabcab", "Hello World", "it-is",
    "a\tb\tc", "ab\tcd\r\nx\ty", "line1\nline2\r\nline3\rline4", "a\x1cb\x1dc\x1e", "a\x0bb\x0cc",
    "  \t\n ", "x\u0085y\u2028z\u2029", "\u00a0a\u3000b\u2003",
    "caf\u00e9", "Stra\u00dfe", "\u00ff\u00b5\u00e0\u00c9", "na\u0131ve \u0130stanbul",
    "\u65e5\u672c\u8a9e\u306e\u6587\u5b57\u5217", "\u4e2d\u6587,\u6e2c\u8a66,\u6587",
    "\U0001f600 smile \U0001f44d\U0001f3fd", "\U0001f600\U0001f600\U0001f600",
    "e\u0301te\u0301", "a\u0308o\u0308u\u0308", "\u039f\u0394\u039f\u03a3 \u03a3\u03a3", "A\u03a3", "\u03a3",
    "\u01c5ungla \u01c4", "\ufb01le \ufb00", "\u1f80\u1f88", "\u2167 \u00b2 \u00bd \u0663\u0664",
    "_id1", "1abc", "ABC1", "Ab Cd", "AB", "aBC", "MiXeD cAsE 123", "\u2160\u2170",
]

cases = []


def enc(v):
    if v is None:
        return "n"
    if isinstance(v, bool):
        return "B:%d" % v
    if isinstance(v, int):
        return "i:%d" % v
    if isinstance(v, str):
        return "s:" + v.encode().hex()
    if isinstance(v, (bytes, bytearray)):
        return "b:" + bytes(v).hex()
    if isinstance(v, tuple):
        return "T:" + "|".join(enc(x) for x in v)
    if isinstance(v, list):
        return "L:" + "|".join(enc(x) for x in v)
    raise TypeError(v)


def add(method, args, fn):
    try:
        r = fn()
        exp = enc(r)
    except Exception as e:  # the class only: the messages are this system's own
        exp = "E:" + type(e).__name__
    cases.append("\t".join([method] + [enc(a) for a in args] + ["=>", exp]))


# U+001C..U+001F are not whitespace for strip and split here: the host's answer is taken over a
# text where they are swapped for private-use code points, then swapped back.
SWAP = {c: 0xF0000 + c for c in range(0x1C, 0x20)}
BACK = {v: k for k, v in SWAP.items()}


def unswap(r):
    if isinstance(r, str):
        return r.translate(BACK)
    if isinstance(r, (list, tuple)):
        return type(r)(unswap(x) for x in r)
    return r


def call(name, recv, *args):
    if isinstance(recv, str) and name in ("strip", "lstrip", "rstrip", "split", "rsplit") and (not args or args[0] is None):
        swapped = recv.translate(SWAP)
        add(name, (recv,) + args, lambda: unswap(getattr(swapped, name)(*args)))
        return
    add(name, (recv,) + args, lambda: getattr(recv, name)(*args))


SUBS = ["", "a", "b", "ab", ",", " ", "\u00e9", "\u6587", "\U0001f600", "\u03a3", "xyz", "\u0301"]
BOUNDS = [(), (0,), (1,), (-2,), (2, -1), (-100, 100), (3, 1), (None, 2), (50,)]

for s in BASE:
    for sub in SUBS:
        for b in BOUNDS:
            for m in ("find", "rfind", "count"):
                call(m, s, sub, *b)
        for m in ("index", "rindex"):
            call(m, s, sub)
            call(m, s, sub, 2, -1)
        for m in ("startswith", "endswith"):
            call(m, s, sub)
            call(m, s, (sub, "x"), 1)
            call(m, s, ("zz", sub), -3, None)
        for m in ("partition", "rpartition", "removeprefix", "removesuffix"):
            call(m, s, sub)
        for m in ("split", "rsplit"):
            for k in (-1, 0, 1, 2):
                call(m, s, sub, k)
        for k in (-1, 0, 1, 3):
            call("replace", s, sub, "<\u00e9>", k)
            call("replace", s, sub, "", k)
    for chars in (None, "", "a", " a", "\u00e9\u0301e", "\U0001f600 ", "xyz"):
        for m in ("strip", "lstrip", "rstrip"):
            call(m, s, chars)
    for w in (-1, 0, 3, 8, 13):
        for fill in (" ", "*", "\u00e9", "\u6587"):
            for m in ("ljust", "rjust", "center"):
                call(m, s, w, fill)
        call("zfill", s, w)
    for t in (0, 1, 4, 8, -3):
        call("expandtabs", s, t)
    for codec in ("utf-8", "ascii", "latin-1", "Latin_1", "US_ASCII"):
        for errors in ("strict", "ignore", "replace", "backslashreplace", "xmlcharrefreplace"):
            call("encode", s, codec, errors)
    for keep in (False, True):
        call("splitlines", s, keep)
    for m in ("split", "rsplit"):
        call(m, s)
    for m in ("lower", "upper", "title", "capitalize", "swapcase"):
        call(m, s)
    for m in ("isalnum", "isalpha", "isdigit", "isdecimal", "isnumeric", "isspace", "isascii", "islower",
              "isupper", "istitle", "isidentifier"):
        if m in ("isalpha", "isalnum"):
            # The alphabetic class is the Unicode Alphabetic property.
            num = lambda c: c.isnumeric()
            ok = bool(s) and all(ord(c) in ALPHA or (m == "isalnum" and num(c)) for c in s)
            cases.append("\t".join([m, enc(s), "=>", enc(ok)]))
        else:
            call(m, s)

# Whitespace splitting with a limit: the remaining runs are joined by one space.
for s in BASE:
    for k in (0, 1, 2):
        runs = unswap(s.translate(SWAP).split())
        exp = runs if len(runs) <= k else runs[:k] + [" ".join(runs[k:])]
        cases = [c for c in cases if not c.startswith("split\t%s\ti:%d\t" % (enc(s), k))]
        cases.append("\t".join(["split", enc(s), "n", "i:%d" % k, "=>", enc(exp)]))
        call("rsplit", s, None, k)

# Joins.
for sep in ("", ",", " \u00e9 ", "\U0001f600"):
    for items in ([], ["a"], ["a", "b", "c"], BASE[:12]):
        add("join", (sep, items), lambda: sep.join(items))

# Translation by a list table (the item at a code point's index; code points beyond it stay).
UPPER_DIGITS = [chr(c).upper() if "a" <= chr(c) <= "z" else None if "0" <= chr(c) <= "9" else c for c in range(128)]
THIRDS = [None if c % 3 == 0 else c for c in range(0x100)] + ["\U0001f600"]
for s in BASE:
    for table in (UPPER_DIGITS, THIRDS, ["\u00e9"], [0x110000] * 0x80):
        add("translate", (s, table), lambda: s.translate(table))

# Case mapping of single code points across the cased scripts.
for c in itertools.chain(range(0x41, 0x250), range(0x370, 0x530), range(0x1E00, 0x2000), range(0x2160, 0x2190),
                         range(0x24B6, 0x24EA), range(0xFB00, 0xFB18), range(0x10400, 0x10450)):
    ch = chr(c)
    if 0xD800 <= c <= 0xDFFF:
        continue
    for m in ("lower", "upper", "title", "isupper", "islower", "isnumeric", "isidentifier"):
        call(m, ch)

# Bytes.
BBASE = [b"", b"a", b"abc", b"a,b,,c", b"  a  b  ", b"aaaa", b"\x0bx\x0c", b"a\r\nb\rc\n", b"\xff\xfe",
         b"caf\xc3\xa9", b"\xe2\x82A\xf0\x9f\x98", b"Hello World", b"\x00\x80\x7f"]
BSUBS = [b"", b"a", b"aa", b",", b"b", b"\xff", b" "]
for s in BBASE:
    for sub in BSUBS:
        for b in BOUNDS:
            for m in ("find", "count", "index"):
                call(m, s, sub, *b)
        for m in ("startswith", "endswith"):
            call(m, s, sub)
            call(m, s, (b"zz", sub), 1, -1)
        for m in ("partition", "rpartition"):
            call(m, s, sub)
        for k in (-1, 0, 1, 2):
            call("split", s, sub, k)
            call("replace", s, sub, b"-=", k)
    for k in (-1, 0, 1, 2):
        call("split", s, None, k)
    for chars in (None, b"", b"a ", b"\xff"):
        for m in ("strip", "lstrip", "rstrip"):
            call(m, s, chars)
    for w in (-1, 0, 4, 5, 9):
        call("center", s, w, b"*")
    for keep in (False, True):
        call("splitlines", s, keep)
    for m in ("upper", "lower", "hex"):
        call(m, s)
    for codec in ("utf-8", "UTF_8", "ascii", "latin-1"):
        for errors in ("strict", "ignore", "replace", "backslashreplace"):
            call("decode", s, codec, errors)
for t in ("", "0b 0c", "abc", "AbCd", "a b", "0\x0b1", " 01\t02\n", "zz", "00ff"):
    add("fromhex", (t,), lambda: bytes.fromhex(t))
for sep in (b"", b",", b"--"):
    for items in ([], [b"a"], [b"a", b"", b"c"]):
        add("join", (sep, items), lambda: sep.join(items))

with open(out_path, "w") as f:
    f.write("\n".join(cases) + "\n")
print(len(cases), "cases")
