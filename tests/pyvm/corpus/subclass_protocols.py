# Special methods of subclasses of builtin types and of standard-library classes, compared with
# the host's python3. Each block from a "#### name" line to the next is one program.

#### builtin_subclass_methods_win
class D(dict):
    def __eq__(self, o):
        print("eq called")
        return True
    def __delitem__(self, k):
        print("del", k)
        dict.__delitem__(self, k)
    def __setitem__(self, k, v):
        print("set", k)
        dict.__setitem__(self, k, v)
    def __contains__(self, k):
        print("contains", k)
        return True
d = D(a=1)
d['b'] = 2
print(d == {}, d != {}, {} == d, 'q' in d)
del d['a']
print(d)
class E(dict):
    def __lt__(self, o): return "lt"
    def __ne__(self, o): return 5
print(E() < {}, E() != {}, E(x=1) == {'x': 1})
class L(list):
    def __eq__(self, o): return True
    def __delitem__(self, i): print("ldel", i)
    def __setitem__(self, i, v): print("lset", i)
l = L([1])
print(l == [], [] == l, l != [2])
del l[0]; l[0] = 3; print(l)
class S(set):
    def __eq__(self, o): return "seq"
class T(tuple):
    def __eq__(self, o): return "teq"
class U(str):
    def __eq__(self, o): return False
print(S() == {1}, {1} == S(), T() == (1,), (1,) == T(), U("a") == "a", U("a") != "a")

#### counter_equality_and_deletion
from collections import Counter
print(Counter('aab') == Counter('aba'), Counter('ab') == Counter('a'), Counter('ab') != Counter('ba'))
print(Counter(a=1) == {'a': 1}, Counter(a=0) == Counter())
c = Counter('aab')
del c['a']
del c['zz']
print(c, 'a' in c)

#### instance_dict_reads_like_a_dict
class C:
    def __init__(self):
        self.a = 1
        self.b = 2
c = C()
d = c.__dict__
print(list(d.items()), list(d.keys()), list(d.values()), list(d), len(d), d.get("b"), d.get("z", 5))
print(d.copy(), dict(d), "a" in d.keys(), ("a", 1) in d.items(), len(d.items()))
print(d == {"a": 1, "b": 2}, d != {"a": 1}, {"b": 2, "a": 1} == d, d == C().__dict__, d == {"a": 1, "b": 3})
c.x = [1]
print(sorted(k for k, v in vars(c).items()), vars(c)["x"])
d2 = c.__dict__
garbage = [[i] for i in range(200000)]
del garbage
print(vars(c) is c.__dict__, d2 is c.__dict__, vars(c) is d2)
