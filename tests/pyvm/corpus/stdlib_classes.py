# Classes of the small standard-library modules: enumerations, defaultdict, data classes and
# qualified names. Each block from a "#### name" line to the next is one program, run in the
# machine and in the host's python3; standard output and status must agree.

#### enum_class_iteration_len_lookup
from enum import Enum
class Color(Enum):
    RED = 1
    GREEN = 'g'
    def describe(self): return self.name.lower()
class Other(Enum):
    RED = 1
print(list(Color), [c.describe() for c in Color])
for c in Color: print(c, c.value)
print(len(Color), Color['RED'], Color(1), Color('g'), Color.RED in Color, Other.RED in Color, Color['GREEN'] is Color.GREEN)
print(sorted(c.name for c in Color), dict((c.name, c.value) for c in Color), bool(Color))
for key in ('BLUE', 'describe', 1):
    try:
        Color[key]
    except KeyError as e:
        print("KeyError", e)
try:
    Color(3)
except ValueError as e:
    print("ValueError", e)
class Empty: pass
try:
    len(Empty)
except TypeError as e:
    print("TypeError", e)

#### defaultdict_repr
from collections import defaultdict
d = defaultdict(list)
print(repr(d), d, str(defaultdict(int)))
d['a'].append(1)
d['b']
print(d, [d])

#### dataclass_inherits_base_fields
from dataclasses import dataclass, field, asdict, fields
@dataclass
class A:
    x: int
    y: int = 2
    tags: list = field(default_factory=list)
@dataclass
class B(A):
    z: int = 3
    y: int = 7
class Plain(B):
    pass
@dataclass
class C(Plain):
    w: str = "w"
print(B(1), B(1, 5, [1], 6), B(x=0, z=9), asdict(B(4)))
print(C(1), C(1, w="q") == C(1, w="q"), B.__match_args__, C.__match_args__)
print(Plain(2))

#### qualified_names
from dataclasses import dataclass
class Outer:
    @dataclass
    class Inner:
        x: int
        def im(self): pass
    def m(self):
        def local(): pass
        class K: pass
        return local, K
    @staticmethod
    def s(): pass
    @classmethod
    def c(cls): pass
    f = lambda self: 0
def f():
    def g():
        def h(): pass
        return h
    class L:
        def lm(self): pass
    return g, L
print(Outer.Inner(1), repr(Outer.Inner(2)), Outer.Inner.__qualname__, Outer.Inner.__name__, Outer.m.__qualname__)
print(Outer.Inner.im.__qualname__, Outer.s.__qualname__, Outer.c.__qualname__, Outer.f.__qualname__)
local, K = Outer().m()
print(local.__qualname__, K.__qualname__, K.__name__, Outer().m.__qualname__)
g, L = f()
print(g.__qualname__, g().__qualname__, L.__qualname__, L.lm.__qualname__, f.__qualname__, (lambda: 0).__qualname__)
print(Outer.__qualname__, '__qualname__' in Outer.__dict__, type('T', (), {}).__qualname__)
class Renamed:
    __qualname__ = "Other.Name"
    def m(self): pass
print(Renamed.__qualname__, Renamed.__name__)
print(Outer().m.__name__, Outer.c.__name__)
