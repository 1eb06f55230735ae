// The Python programs the interpreter benchmarks share: recursion, a for loop, method calls,
// dict and list building, string concatenation.
#pragma once

namespace {

constexpr const char* kFib = R"PY(
def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)
print(fib(27))
)PY";

constexpr const char* kLoop = R"PY(
total = 0
for i in range(1000000):
    total += i
print(total)
)PY";

constexpr const char* kMethods = R"PY(
class Task:
    def __init__(self, ident, prio):
        self.ident = ident
        self.prio = prio
        self.count = 0
    def run(self, x):
        self.count += 1
        return self.prio + x
    def packet(self):
        return self.ident * 2
class Scheduler:
    def __init__(self):
        self.tasks = [Task(i, i % 7) for i in range(10)]
        self.total = 0
    def step(self, k):
        for t in self.tasks:
            self.total += t.run(k) + t.packet()
s = Scheduler()
for k in range(20000):
    s.step(k)
print(s.total)
)PY";

constexpr const char* kBuild = R"PY(
d = {}
lst = []
for i in range(200000):
    d[i] = i * 2
    lst.append(i)
total = 0
for k in d:
    total += d[k]
print(len(d), len(lst), total)
)PY";

constexpr const char* kConcat = R"PY(
s = ""
for i in range(20000):
    s += "ab"
parts = []
for i in range(100000):
    parts.append(str(i))
print(len(s), len(",".join(parts)))
)PY";

}  // namespace
