# Builtins consuming generators and iterables of program classes, and reversed() over sequences
# that change while it runs.

#### consumers_of_generators
def g(n):
    for i in range(n):
        yield i
print(list(g(3)), tuple(g(3)), set(g(3)), frozenset(g(2)) == {0, 1})
print(sum(g(5)), sum(g(4), 10), min(g(5)), max(g(5)), min(g(0), default='none'), max(g(3), key=lambda x: -x))
print(sorted(g(4), reverse=True), any(g(2)), all(g(2)), list(enumerate(g(2), 1)))
print(list(zip(g(3), 'ab', g(5))), list(map(lambda a, b: a * b, g(3), g(4))), list(filter(None, g(4))))
print('-'.join(str(i) for i in g(4)), b''.join(bytes([65 + i]) for i in g(3)))
print(dict((str(i), i) for i in g(3)), bytes(g(3)), bytearray(x + 97 for x in g(2)))
l = [9]
l.extend(g(2))
s = {9}
s.update(g(2), (x * 10 for x in g(3)))
d = {}
d.update((i, -i) for i in g(2))
print(l, sorted(s), d)

#### consumers_of_program_iterables
class Bag:
    def __init__(self, *items):
        self.items = items
    def __iter__(self):
        for item in self.items:
            yield item
print(list(Bag(1, 2)), sorted(Bag(3, 1, 2)), sum(Bag(1, 2, 3)), ''.join(Bag('a', 'b')))
class L(list):
    def __iter__(self):
        return iter([0])
print(list(L([1, 2])), len(L([1, 2])))

#### consumers_keep_errors_and_arguments
def bad():
    yield 1
    raise KeyError('k')
for call in (list, sorted, sum, set, tuple, lambda it: '-'.join(map(str, it))):
    try:
        call(bad())
    except KeyError as e:
        print('KeyError', e)
try:
    sum(x for x in 'ab')
except TypeError as e:
    print('TypeError', e)
try:
    dict(x for x in 'ab')
except ValueError as e:
    print('ValueError', e)
def two():
    yield 1
    yield 2
try:
    min(two(), two())
except TypeError as e:
    print('TypeError', e)
it = two()
print(next(it), list(it), list(it), sorted(two(), key=lambda x: -x))
print(list(iter(lambda c=[3]: c.pop() if c else None, None)))

#### star_arguments_from_generators
def g(n):
    yield from range(n)
def show(*a, **k):
    return a, k
print(*g(3))
print(*g(2), 'x', *g(1), *'ab', sep='-')
print(show(*g(2), k=1), show(1, *g(0)))
class C:
    def m(self, *a):
        return a
print(C().m(*g(2)), max(*g(3)), '{}{}'.format(*g(2)))
try:
    print(*g(2), *5)
except TypeError as e:
    print('TypeError')
def bad():
    yield 1
    raise ValueError('v')
try:
    print(*bad())
except ValueError as e:
    print('ValueError', e)

#### consumers_refusing_extra_arguments_take_nothing
def g():
    yield 1
    yield 2
it = g()
for call in (lambda: ''.join(it, 1), lambda: [].extend(it, 2), lambda: list.extend([], it, 3)):
    try:
        call()
    except TypeError:
        print('TypeError')
print(list(it), sum(g(), 10), list(enumerate(g(), 5)), list(filter(None, g())))

#### consumers_in_generators_and_comprehensions
def pairs():
    yield from zip((x for x in range(3)), (y * y for y in range(3)))
def nested():
    for n in range(3):
        yield sum(i for i in range(n + 1))
print(list(pairs()), list(nested()), [sorted(c for c in w) for w in ('ba', 'dc')])

#### reversed_reads_the_list_live
l = [1, 2, 3, 4, 5]
out = []
for x in reversed(l):
    out.append(x)
    if x == 4:
        l.clear()
print(out, l)
l = [1, 2, 3, 4]
r = reversed(l)
l[0] = 'a'
print(list(r))
l = [1, 2, 3]
r = reversed(l)
print(next(r))
l.append(9)
print(list(r), list(r))
l = [1, 2, 3, 4, 5, 6]
for x in reversed(l):
    print(x, end=' ')
    del l[:2]
print()
print(list(reversed((1, 2, 3))), list(reversed(range(0, 10, 3))), list(reversed(range(5, 5))), list(reversed([])))

#### reversed_of_program_sequences
class S:
    def __init__(self):
        self.calls = []
    def __len__(self):
        return 3
    def __getitem__(self, i):
        self.calls.append(i)
        if i == 0:
            raise IndexError
        return i * 10
s = S()
r = reversed(s)
print(s.calls)
print(list(r), s.calls)
class N:
    def __len__(self):
        return -1
    def __getitem__(self, i):
        return i
try:
    reversed(N())
except ValueError as e:
    print('ValueError', e)
