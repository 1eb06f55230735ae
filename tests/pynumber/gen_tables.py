#!/usr/bin/env python3
# Writes the differential tables of the number tests from the host's python3 (3.11, run with
# PYTHONHASHSEED=0). Run from this folder: `PYTHONHASHSEED=0 python3 gen_tables.py`.
#
# One case a line, fields separated by " | ". Values: i:<signed hex>, b:0/1, f:<16 hex digits of
# the IEEE bits>, f:nan for every NaN, c:<re bits>,<im bits>, t:(<value>;<value>) for a pair,
# !<Exception>: <message> for an error, ~ for "not handled" (the caller raises the TypeError).
#
# Deliberate differences from CPython, applied below where the expected value is written:
#  - every ZeroDivisionError of division, floor division and modulo reads "division by zero"
#    (CPython names the operand kinds, "float modulo" and so on);
#  - 0 or 0.0 to a negative power reads "zero to a negative power";
#  - an integer exponent of 2**32 or more fails with the resource error "power exponent is too
#    large" for every base, and a shift count of 2**64 or more with "shift count is too large"
#    (CPython computes 1 ** (2**64) and 0 << 2**64; the machine's budgets bound both instead);
#  - int() reads ASCII digits only (CPython also takes other Unicode decimal digits), and base
#    0 takes leading zeros ('010' is 10);
#  - the digit-limit message has no "value has N digits" clause;
#  - the string spec refuses a space sign with the message of every sign;
#  - hash(None) is 4238894112 and every NaN hashes to 0 (CPython 3.11 hashes both by identity);
#  - grouping of the fractional digits ('.4_f') is built but left out of the tables (the host's
#    3.11 predates it);
#  - the 'c' type reports an integer beyond 64 bits as out of range like any other, and refuses a surrogate code point like one out of range (text is UTF-8 here);
#  - three-argument pow is the same except for its zero-divisor messages.
import math
import re
import struct

INTS = [0, 1, -1, 2, -3, 7, -7, 2**53 + 1, 2**63 - 1, -2**63, 2**64 + 3, -(2**64), -(3**50), 2**100]
BOOLS = [True, False]
FLOATS = [0.0, -0.0, 1.5, -2.5, 0.1, 1e300, 5e-324, math.inf, -math.inf, math.nan]
OPERANDS = INTS + BOOLS + FLOATS
OPS = ['+', '-', '*', '**', '/', '//', '%', '<<', '>>', '&', '^', '|']


def fbits(x):
    if math.isnan(x):
        return 'nan'
    return struct.pack('>d', x).hex()


def enc(v):
    if isinstance(v, bool):
        return 'b:%d' % v
    if isinstance(v, int):
        for base in (2, 10):
            for e in (1100, 4300):
                if abs(v) == base**e:
                    return 'p:%s%d^%d' % ('-' if v < 0 else '', base, e)
        return 'i:' + format(v, 'x')
    if isinstance(v, float):
        return 'f:' + fbits(v)
    if isinstance(v, complex):
        return 'c:%s,%s' % (fbits(v.real), fbits(v.imag))
    if isinstance(v, tuple):
        return 't:(%s;%s)' % (enc(v[0]), enc(v[1]))
    raise TypeError(v)


def err(name, message):
    return '!%s: %s' % (name, message)


def run(f):
    try:
        return enc(f())
    except ZeroDivisionError as e:
        msg = str(e)
        if 'power' in msg:
            return err('ZeroDivisionError', 'zero to a negative power')
        return err('ZeroDivisionError', 'division by zero')
    except ValueError as e:
        m = re.sub(r': value has \d+ digits;', ';', str(e))
        if len(m) > 200:
            m = m[:60] + '...'
        return err('ValueError', m)
    except TypeError:
        return '~'
    except Exception as e:
        return err(type(e).__name__, str(e))


def is_int(v):
    return isinstance(v, int)


def arith_cases():
    out = []
    for a in OPERANDS:
        for b in OPERANDS:
            for op in OPS:
                if op == '**' and is_int(a) and is_int(b) and b >= 0:
                    if b >= 2**32:
                        out.append((a, op, b, err('Resource', 'power exponent is too large')))
                        continue
                    if b > 200 and a not in (0, 1, -1) or abs(a) > 2**100 and b > 2:
                        continue
                if op in ('<<', '>>') and is_int(a) and is_int(b) and b >= 0:
                    if b >= 2**64:
                        out.append((a, op, b, err('Resource', 'shift count is too large')))
                        continue
                    if b > 200:
                        continue
                out.append((a, op, b, run(lambda: eval('a %s b' % op, {'a': a, 'b': b}))))
    # True division of integers beyond the float range: the correctly rounded quotient.
    big = [10**400, -(10**400), 10**399, 7 * 10**399, 2**1100 + 1, 3**700, 10**309, 2**1074, 2**1075 + 1]
    for a in big + [1, -5, 0]:
        for b in big + [3, -7, 0]:
            out.append((a, '/', b, run(lambda: a / b)))
    for a in big[:3]:
        for b in [1.5, 0.0]:
            out.append((a, '+', b, run(lambda: a + b)))
    return out


def divmod_cases():
    return [(a, 'divmod', b, run(lambda: divmod(a, b))) for a in OPERANDS for b in OPERANDS]


def pow3_cases():
    vals = [0, 1, -1, 2, -3, 7, 10, 2**64 + 3, -(2**70), 3**40]
    out = []
    for a in vals:
        for b in vals:
            for m in vals:
                def f():
                    try:
                        return pow(a, b, m)
                    except ValueError as e:
                        raise
                out.append((a, b, m, run(f)))
    return out


def round_cases():
    xs = [0.5, 1.5, 2.5, -0.5, 2.675, 1.005, 123.456, -123.456, 1e300, 5e-324, 0.1, 1e22, 12345.0, -0.0,
          math.inf, -math.inf, math.nan, 7, -15, 25, 10**20 + 5, -(2**70) - 50]
    ns = [None, 0, 1, 2, 3, -1, -2, -25, 400, -400]
    out = []
    for x in xs:
        for n in ns:
            out.append((x, n, run(lambda: round(x) if n is None else round(x, n))))
    return out


# Grouping of the fractional digits is newer than the host's python3; its cases are in the tests.
FRACTION_GROUPING = {'.4_f', '.3_e'}


def format_cases():
    values = [0, 1, -1, 42, -42, 255, 1234567, -1234567, 2**70, -(10**25), True, False, 65, 0x10FFFF, 0xD800,
              0.0, -0.0, 1.0, -1.5, 1234.5678, 0.00001234, 1e16, 123456789.0, 1e-7, 100.0, 0.5, 2.5, 1e300,
              5e-324, math.inf, -math.inf, math.nan, -0.0001, 1 + 2j, -1.5 - 0j, 2j, complex(0, -1.0),
              1e20 + 1e-3j, 'abc', '', 'héllo', 10**4300, 2**1100]
    specs = ['', 'd', 'x', 'X', '#x', '#o', '#b', 'b', 'o', 'c', 'n', ',', '_', '_b', '_x', '08', '+08', '-08',
             ' 08', '=8', '<8', '>8', '^8', 'x<8', 'x<08', '*^9', '09,', '012,', '012_', '#010x', '+#x', 'e',
             'E', 'f', 'F', 'g', 'G', '%', '.2f', ',.2f', '.3e', '.0f', '#.0f', '#.0e', '.3g', '#g', '.3',
             '.1', '.4_f', ',.2%', 'z.2f', 'z', 'z.1', '+.3', ' .3', '010.2f', '^10.2f', '.2n', '.20g', ',s',
             ',_', '_,', 'ff', '.', '.2', '+c', '#c', 's', '5', '.2s', '<5', '^5', '05', '+', 'q', '=', '10',
             '.1f', '010', '^12.3e', '>+12', 'z+.0f', ',g', '_%', '.3_e', ',n', '0=+10', 'é>6', '€^9.1f']
    out = []
    for v in values:
        for s in specs:
            if s == '':
                continue
            def f():
                return format(v, s)
            if s in FRACTION_GROUPING:
                continue
            try:
                r = 's:' + format(v, s)
                if len(r) > 200:
                    r = 'h:%d:%s' % (len(r) - 2, hash(r[2:]))
                if any(0xD800 <= ord(c) <= 0xDFFF for c in r):
                    r = err('OverflowError', '%c arg not in range(0x110000)')
            except Exception as e:
                r = err(type(e).__name__, str(e))
                if s.startswith(' ') and isinstance(v, str):
                    r = err('ValueError', 'Sign not allowed in string format specifier')
                if s.endswith('c') and 'too large to convert to C' in str(e):
                    r = err('OverflowError', '%c arg not in range(0x110000)')
            out.append((v, s, r))
    return out


def parse_cases():
    texts = ['0', '-0', '42', ' -0x1F ', '0X1f', '1_000', '1__0', '1_', '_1', '0x', '+-1', '٣', 'z', 'Z', '0b101',
             '0o17', '0x_ff', '0b1', '010', '00', '  +7\t', '-', '', ' ', '12a', 'ff', '1e5', '0x1F_', '0_7',
             '\u20037\u3000', '1' * 4300, '1' * 4301, 'f' * 5000, '1' * 4301 + 'x', '9' * 30, '-' + '7' * 25]
    bases = [0, 2, 8, 10, 16, 36, 1, 37, -1, 3]
    out = []
    for t in texts:
        for b in bases:
            r = run(lambda: int(t, b))
            if t in ('010', '0_7') and b == 0:
                r = run(lambda: int(t, 10))
            invalid = err('ValueError', 'invalid literal for int() with base %d: %r' % (b, t))
            if t == '٣' and not r.startswith('!'):
                r = invalid
            if t == '1' * 4301 + 'x' and b != 36 and 'Exceeds' in r:
                r = invalid[:len('!ValueError: ') + 60] + '...'
            out.append((t, b, r))
    return out


def float_parse_cases():
    texts = ['1e309', '-1e309', '1e-400', '0.1', '  1.5  ', 'inf', '-Infinity', 'nan', '-nan', 'infinit',
             '1_000.5', '1__0', '_1', '1_', '.5', '5.', '.', '+.', '1e', '1e+', '1e5', '0x10', '1.7976931348623157e308',
             '1.7976931348623159e308', '2.4703282292062328e-324', '2.4703282292062327e-324', '4.9e-324',
             '\u2003-2.5\u3000', '1.5j', '', '- 1']
    return [(t, run(lambda: float(t))) for t in texts]


def hash_cases():
    vals = [0, 1, -1, -2, 2**61 - 1, 2**61, -(2**61), 2**100, -(2**100), 10**30 + 7, 2**63, 2**64 - 1, 0.5, 1.1,
            -1.1, 1e300, 5e-324, math.inf, -math.inf, math.nan, -0.0, 1e-300, 123456.789, 2.0**80, 1 + 2j,
            complex(1.5, -2.5), complex(math.inf, 0), True, False, None, 'abc', '', 'héllo', '日本語', '😀x',
            'a' * 100, b'abc', b'', b'\x00\xff' * 9, (), (1, 2), (1, (2, 3), 'x'), (None,),
            frozenset({1, 2}), frozenset(), frozenset({'a', 2.5, None})]
    out = []
    for v in vals:
        h = hash(v)
        if v is None:
            h = 4238894112
        elif isinstance(v, float) and math.isnan(v):
            h = 0
        out.append((v, h))
    return out


def text_enc(t):
    # Long texts as a repeated unit and a tail: R:<unit hex>:<count>:<tail hex>.
    if len(t) > 64:
        unit = t[0]
        n = len(t) - len(t.lstrip(unit))
        return 'R:%s:%d:%s' % (unit.encode().hex(), n, t[n:].encode().hex())
    return t.encode().hex()


def write(path, header, rows):
    with open(path, 'w') as f:
        f.write(header)
        for r in rows:
            f.write(' | '.join(r) + '\n')


def pyrepr(v):
    if isinstance(v, str):
        return 'u:' + v.encode('utf-8').hex()
    if v is None:
        return 'n:'
    return enc(v)


def main():
    write('arith.txt', '# a | op | b | result\n', [(enc(a), op, enc(b), r) for a, op, b, r in arith_cases()])
    write('divmod.txt', '# a | divmod | b | result\n', [(enc(a), op, enc(b), r) for a, op, b, r in divmod_cases()])
    write('pow3.txt', '# base | exponent | modulus | result\n', [(enc(a), enc(b), enc(m), r) for a, b, m, r in pow3_cases()])
    write('round.txt', '# x | ndigits (n: for none) | result\n', [(enc(x), pyrepr(n), r) for x, n, r in round_cases()])
    write('format.txt', '# value | spec (hex UTF-8) | s:text or error\n',
          [(pyrepr(v) if isinstance(v, str) else enc(v), s.encode().hex(), r) for v, s, r in format_cases()])
    write('int_parse.txt', '# text (hex UTF-8) | base | result\n', [(text_enc(t), str(b), r) for t, b, r in parse_cases()])
    write('float_parse.txt', '# text (hex UTF-8) | result\n', [(t.encode().hex(), r) for t, r in float_parse_cases()])
    def hval(v):
        if isinstance(v, bytes):
            return 'y:' + v.hex()
        if isinstance(v, tuple):
            return 'T:' + ','.join(str(hash(x)) for x in v)
        if isinstance(v, frozenset):
            return 'F:' + ','.join(str(hash(x)) for x in v)
        return pyrepr(v)
    write('hash.txt', '# value | hash\n', [(hval(v), str(h)) for v, h in hash_cases()])


main()
