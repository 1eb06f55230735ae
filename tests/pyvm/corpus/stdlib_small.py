# Small standard-library modules over their native halves: dataclasses, enum, collections,
# heapq and unicodedata. Each block from a "#### name" line to the next is one program, run in
# the machine and in the host's python3; standard output and status must agree.

#### dataclass_defaults_factory_eq_repr
import dataclasses, heapq, typing
from dataclasses import dataclass, field, asdict, astuple, replace, is_dataclass

@dataclass
class Point:
    x: int
    y: int = 0
    tags: list = field(default_factory=list)

p = Point(1)
q = Point(1, tags=[])
print(p, p == q, p != Point(2), p.tags is not q.tags, p == (1, 0, []))
p.tags.append("a")
print(repr(p), Point.y, hasattr(Point, "tags"), [Point(x=3)])
print(asdict(p), astuple(p), replace(p, x=5))
print(is_dataclass(p), is_dataclass(Point), is_dataclass(3))
try:
    hash(p)
except TypeError as e:
    print("TypeError", e)

@dataclass
class Outer:
    inner: Point
    items: list
print(asdict(Outer(Point(1, 2), [Point(3)])), astuple(Outer(Point(1, 2), [Point(3)])))

#### dataclass_frozen_and_options
from dataclasses import dataclass, field, FrozenInstanceError

@dataclass(frozen=True)
class Frozen:
    a: int
    b: str = "z"

f = Frozen(3)
print(f, hash(f) == hash(Frozen(3)), f == Frozen(3), f == Frozen(4), {f: 1}[Frozen(3)])
for action in (lambda: setattr(f, "a", 4), lambda: delattr(f, "b")):
    try:
        action()
    except FrozenInstanceError as e:
        print(type(e).__name__, e, isinstance(e, AttributeError))

@dataclass(eq=False)
class NoEq:
    v: int
n = NoEq(1)
print(n == NoEq(1), n == n)

@dataclass
class Custom:
    n: int
    def __repr__(self):
        return "Custom!"
    def __eq__(self, other):
        return True
print(Custom(2), [Custom(1)], Custom(1) == 5)

@dataclass(kw_only=True)
class Keywords:
    a: int
    b: int = 2
print(Keywords(a=1))
try:
    field(default=1, default_factory=list)
except ValueError as e:
    print("ValueError", e)

#### enum_members
from enum import Enum

class Color(Enum):
    RED = 1
    GREEN = 2

print(Color.RED, Color(2), Color.RED.value, Color.GREEN.name, repr(Color.RED), Color.RED is Color(1))
try:
    Color(7)
except ValueError as e:
    print("ValueError", e)

#### collections_counter
from collections import Counter
c = Counter("abracadabra")
print(c, c["z"], c.most_common(2), c.total(), sorted(c.elements())[:4], isinstance(c, dict))
c.update({"a": 1}, z=2)
c.subtract("aaz")
print(c, Counter(a=3, b=1) + Counter(a=1, b=2), Counter(a=3, b=1) - Counter(a=1, b=2))
print(Counter(a=3, b=1) | Counter(a=1, b=2), Counter(a=3, b=1) & Counter(a=1, b=2), Counter(), -Counter(a=-2, b=1))

#### collections_deque
from collections import deque
d = deque([1, 2, 3], maxlen=3)
d.append(4)
d.appendleft(0)
print(d, d.maxlen, len(d), d[0], d[-1], 2 in d)
d.rotate(1)
print(d, d.popleft(), d.pop(), d)
e = deque()
e.extend("abc")
e.extendleft("xy")
e.rotate(-2)
print(e, list(reversed(e)), e.index("a"), e == deque("abcyx"), e + deque("q"))
for action in (deque().pop, deque().popleft, lambda: e.remove("nope"), lambda: deque([], 1).insert(0, 1) or deque([1], 1).insert(0, 2)):
    try:
        action()
    except (IndexError, ValueError) as err:
        print(type(err).__name__, err)

#### collections_namedtuple
from collections import namedtuple
from typing import NamedTuple
P = namedtuple("P", "x y", defaults=[0])
print(P(1), P(1, 2)._asdict(), P._fields, P._field_defaults, P(3)._replace(y=9), P.__module__)
try:
    namedtuple("Q", "a", defaults=[1, 2])
except TypeError as err:
    print("TypeError", err)

class Emp(NamedTuple):
    name: str
    dept: str = "x"
    def label(self):
        return self.name + "@" + self.dept
print(Emp("ann"), Emp("bo", "y").label(), Emp._fields, isinstance(Emp("c"), tuple))
Pair = NamedTuple("Pair", [("left", int), ("right", str)])
print(Pair(1, "r"), Pair._fields, Pair(right="b", left=2).right)
for src in ("class Bad(NamedTuple):\n    a: int = 1\n    b: int = 2\n    c: int\n",
            "class Bad(NamedTuple):\n    a: int = 1\n    c: int\n",
            "class Bad(NamedTuple):\n    a: int\n    def _asdict(self): pass\n"):
    try:
        exec(src)
    except (TypeError, AttributeError) as err:
        print(type(err).__name__, err)

#### heapq_companions
import heapq
h = [5, 1, 8, 3, 9, 2]
heapq.heapify(h)
heapq.heappush(h, 0)
print([heapq.heappop(h) for _ in range(3)], heapq.heapreplace(h, 7), heapq.heappushpop(h, 1), sorted(h))
print(list(heapq.merge([1, 4, 7], [2, 5, 8], [0, 3])), list(heapq.merge(["a", "B"], ["b", "C"], key=str.lower)))
print(list(heapq.merge([7, 4, 1], [8, 5, 2], reverse=True)), list(heapq.merge()), heapq.nlargest(2, [4, 1, 7]), heapq.nsmallest(0, [1]))
print(heapq.nsmallest(2, ["bb", "a", "ccc"], key=len), heapq.nlargest(1, ["bb", "a", "ccc"], key=len))
one = [4]
print(heapq.heapify(one), one, heapq.heappop(one), one)

#### unicodedata_normalize
import unicodedata
samples = ("e\u0301", "\ufb01", "\u00c5", "", "\u1e9b\u0323", "\uac00\uac01", "x\u0327\u0301")
for form in ("NFC", "NFD", "NFKC", "NFKD"):
    print(form, [ascii(unicodedata.normalize(form, s)) for s in samples])
print(len(unicodedata.normalize("NFD", "\uac00")), len(unicodedata.normalize("NFD", "\uac01")),
      unicodedata.normalize("NFC", "\u1100\u1161\u11a8") == "\uac01")
try:
    unicodedata.normalize("nfc", "x")
except ValueError as e:
    print("ValueError", e)
