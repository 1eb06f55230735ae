# Small programs on generators, coroutines, iteration, exception matching, with statements,
# assert, comparison and containment. Each block from a "#### name" line to the next is one
# program; it is run in the machine and in the host's python3, and standard output and status
# must agree. Deliberate differences (nested tuples in except clauses, the context-manager
# message, assert messages that are None, the frame depth limit of 256, no finalization of
# unreachable generators) are checked in semantics_test.cpp instead.

#### gen_next_send_return
def g():
    x = yield 1
    print('got', x)
    yield 2
    return 7
it = g()
print(next(it))
print(it.send(5))
try:
    next(it)
except StopIteration as e:
    print('stop', e.value)

#### gen_exhausted_stays_exhausted
def g():
    yield 1
it = g()
print(list(it), list(it), next(it, 'default'))

#### gen_for_drops_return_value
def g():
    yield 'a'
    return 'dropped'
for x in g():
    print(x)
print('after')

#### gen_expression_basic
print(list(x * 2 for x in range(5)))

#### gen_expression_filter
g = (i * i for i in range(10) if i % 3 == 0)
print(next(g), list(g))

#### gen_expression_nested
print(list((a, b) for a in range(3) for b in 'xy' if a != 1))

#### gen_expression_consumers
print(sum(x for x in range(101)), max(x % 7 for x in range(20)), min(-x for x in range(4)))
print(any(x > 8 for x in range(10)), all(x < 5 for x in range(10)))

#### gen_expression_dict_set
print(dict((k, len(k)) for k in ['a', 'bb']), sorted(set(x % 3 for x in range(10))))

#### gen_expression_iter_is_self
g = (x for x in [1])
print(iter(g) is g, type(g).__name__)

#### gen_expression_late_binding
n = 3
g = (i for i in range(n))
n = 10
print(list(g))

#### gen_local_state
def counter(start):
    n = start
    while n < start + 3:
        yield n
        n += 1
print(list(counter(10)), list(counter(-1)))

#### gen_interleaved
def g(tag):
    for i in range(3):
        yield tag + str(i)
a, b = g('a'), g('b')
print(next(a), next(b), next(a), next(b), next(b), next(a))

#### gen_send_accumulator
def acc():
    total = 0
    while True:
        v = yield total
        total += v
a = acc()
next(a)
print(a.send(5), a.send(10), a.send(-3))

#### gen_send_to_new_generator
def g():
    yield 1
try:
    g().send(1)
except TypeError as e:
    print(e)

#### gen_send_none_starts
def g():
    x = yield 'first'
    yield x
it = g()
print(it.send(None), it.send('second'))

#### gen_already_executing
def g():
    yield next(me)
me = g()
try:
    next(me)
except ValueError as e:
    print(e)

#### gen_exception_finishes_it
def g():
    yield 1
    raise KeyError('inside')
it = g()
print(next(it))
try:
    next(it)
except KeyError as e:
    print('KeyError', e)
print(next(it, 'finished'))

#### gen_exception_through_for
def g():
    yield 1
    1 / 0
try:
    for v in g():
        print(v)
except ZeroDivisionError as e:
    print('ZeroDivisionError', e)

#### gen_return_in_try_finally
def g():
    try:
        yield 1
        return 2
    finally:
        print('finally runs')
it = g()
next(it)
try:
    next(it)
except StopIteration as e:
    print('value', e.value)

#### gen_yield_in_except
def g():
    try:
        raise ValueError('v')
    except ValueError as e:
        yield 'handling ' + str(e)
    yield 'after'
print(list(g()))

#### gen_yield_inside_with
class CM:
    def __enter__(self):
        print('enter')
        return self
    def __exit__(self, *a):
        print('exit')
def g():
    with CM():
        yield 1
        yield 2
print(list(g()))

#### gen_throw_caught
def g():
    while True:
        try:
            yield 'ready'
        except ValueError as e:
            print('caught', e)
it = g()
next(it)
print(it.throw(ValueError('one')))
print(it.throw(ValueError, 'two'))

#### gen_throw_uncaught
def g():
    yield 1
    yield 2
it = g()
next(it)
try:
    it.throw(KeyError('k'))
except KeyError as e:
    print('propagated', e)
print(next(it, 'finished'))

#### gen_throw_new_generator
def g():
    print('never')
    yield 1
try:
    g().throw(IndexError('early'))
except IndexError as e:
    print('IndexError', e)

#### gen_throw_user_class
class UserError(Exception):
    pass
def g():
    try:
        yield 1
    except UserError as e:
        yield 'caught ' + type(e).__name__
it = g()
next(it)
print(it.throw(UserError))

#### gen_throw_user_instance
class UserError(Exception):
    pass
def g():
    try:
        yield 1
    except UserError as e:
        yield 'caught ' + str(e)
it = g()
next(it)
print(it.throw(UserError('message')))

#### gen_throw_finishes_with_stop
def g():
    try:
        yield 1
    except ValueError:
        return 'handled'
it = g()
next(it)
try:
    it.throw(ValueError)
except StopIteration as e:
    print('stop', e.value)

#### gen_throw_non_exception
def g():
    yield 1
try:
    g().throw(3)
except TypeError as e:
    print(e)

#### gen_close_runs_finally
def g():
    try:
        yield 1
    finally:
        print('cleanup')
it = g()
next(it)
it.close()
print('closed')
print(next(it, 'finished'))

#### gen_close_new_and_finished
def g():
    yield 1
a = g()
a.close()
print(next(a, 'closed before start'))
b = g()
list(b)
b.close()
print('closing a finished generator is fine')

#### gen_close_ignored
def g():
    try:
        yield 1
    except GeneratorExit:
        yield 2
it = g()
next(it)
try:
    it.close()
except RuntimeError as e:
    print(e)

#### gen_close_catches_generator_exit
def g():
    try:
        yield 1
    except GeneratorExit:
        print('saw GeneratorExit')
        raise
it = g()
next(it)
it.close()
print('ok')

#### gen_close_other_exception
def g():
    try:
        yield 1
    except GeneratorExit:
        raise KeyError('during close')
it = g()
next(it)
try:
    it.close()
except KeyError as e:
    print('KeyError', e)

#### gen_methods_on_builtin_next
def g():
    yield 1
    yield 2
it = g()
print(it.__next__(), next(it), it.__iter__() is it)

#### yield_from_list
def g():
    yield from [1, 2, 3]
    yield 4
print(list(g()))

#### yield_from_return_value
def inner():
    yield 1
    return 5
def outer():
    r = yield from inner()
    print('inner returned', r)
print(list(outer()))

#### yield_from_return_none
def inner():
    yield 1
def outer():
    r = yield from inner()
    yield r
print(list(outer()))

#### yield_from_send_through
def inner():
    a = yield 'i1'
    b = yield a
    return a + b
def outer():
    r = yield from inner()
    yield r
o = outer()
print(next(o), o.send(10), o.send(20))

#### yield_from_chain
def chain(n):
    if n == 0:
        yield 'bottom'
        return 0
    r = yield from chain(n - 1)
    return r + 1
c = chain(40)
print(next(c))
try:
    next(c)
except StopIteration as e:
    print(e.value)

#### yield_from_throw_reaches_inner
def inner():
    try:
        yield 1
    except ValueError:
        return 'inner handled'
def outer():
    r = yield from inner()
    yield r
o = outer()
next(o)
print(o.throw(ValueError))

#### yield_from_throw_iterator_without_throw
def deleg():
    try:
        yield from iter([1, 2, 3])
    except KeyError:
        yield 'caught at outer'
d = deleg()
print(next(d))
print(d.throw(KeyError))

#### yield_from_close_both
def inner():
    try:
        yield 1
    finally:
        print('inner finally')
def outer():
    try:
        yield from inner()
    finally:
        print('outer finally')
c = outer()
next(c)
c.close()

#### yield_from_user_iterator
class It:
    def __init__(self):
        self.i = 0
    def __iter__(self):
        return self
    def __next__(self):
        self.i += 1
        if self.i > 3:
            raise StopIteration
        return self.i
def g():
    r = yield from It()
    print('r', r)
print(list(g()))

#### yield_from_user_send
class Echo:
    def __init__(self):
        self.n = 0
    def __iter__(self):
        return self
    def __next__(self):
        return self.send(None)
    def send(self, v):
        self.n += 1
        if self.n > 3:
            raise StopIteration('echo done')
        return ('echo', v)
def g():
    r = yield from Echo()
    yield r
it = g()
print(next(it), it.send('a'), it.send('b'), next(it))

#### yield_from_send_without_send_method
def g():
    yield from iter([1, 2])
it = g()
next(it)
try:
    it.send(5)
except AttributeError as e:
    print('AttributeError')

#### yield_from_string_and_range
def g():
    yield from 'ab'
    yield from range(2)
print(list(g()))

#### yield_from_in_loop
def flatten(xs):
    for x in xs:
        if isinstance(x, list):
            yield from flatten(x)
        else:
            yield x
print(list(flatten([1, [2, [3, [4]], 5], [[6]]])))

#### generator_pipeline
def numbers():
    for i in range(10):
        yield i
def evens(src):
    for x in src:
        if x % 2 == 0:
            yield x
def squares(src):
    for x in src:
        yield x * x
print(list(squares(evens(numbers()))))

#### generator_in_comprehension
def g():
    yield from range(4)
print([x + 1 for x in g()], {x: x for x in g()})

#### generator_unpacking
def g():
    yield 1
    yield 2
    yield 3
a, *rest = g()
print(a, rest, [*g(), *g()])

#### generator_zip_enumerate
def g():
    yield 'x'
    yield 'y'
print(list(enumerate(g())), list(zip(g(), range(5))))

#### generator_break_and_resume
def g():
    for i in range(5):
        yield i
it = g()
for x in it:
    if x == 2:
        break
print('rest', list(it))

#### generator_recursive_tree
def walk(t):
    if isinstance(t, tuple):
        for c in t:
            yield from walk(c)
    else:
        yield t
print(list(walk((1, (2, 3), ((4,), 5)))))

#### generator_fibonacci
def fib():
    a, b = 0, 1
    while True:
        yield a
        a, b = b, a + b
f = fib()
print([next(f) for _ in range(12)])

#### coroutine_send_none_to_stop
async def coro():
    return 42
c = coro()
try:
    c.send(None)
except StopIteration as e:
    print('result', e.value)

#### coroutine_raises
async def coro():
    raise ValueError('from coroutine')
try:
    coro().send(None)
except ValueError as e:
    print('ValueError', e)

#### coroutine_type_name
async def coro():
    pass
c = coro()
try:
    c.send(None)
except StopIteration as e:
    print(e.value)

#### iter_list_grows_during_loop
xs = [1, 2]
for x in xs:
    if x < 4:
        xs.append(x + 2)
print(xs)

#### iter_range_steps
print(list(range(0, 10, 3)), list(range(5, 5)), list(range(5, 0)), list(range(5, 0, -2)), len(range(0, 10, 3)))

#### iter_dict_order
d = {'b': 1, 'a': 2}
d['c'] = 3
print([k for k in d], list(d.items()))

#### iter_string_chars
print([c for c in 'héllo'])

#### iter_class_with_iter
class Bag:
    def __init__(self, *items):
        self.items = items
    def __iter__(self):
        return iter(self.items)
print(list(Bag(1, 2)), sorted(Bag(3, 1, 2)), [x * 2 for x in Bag(4)])

#### iter_class_getitem_only
class Squares:
    def __getitem__(self, i):
        if i >= 4:
            raise IndexError(i)
        return i * i
print(list(Squares()), [x for x in Squares()])

#### iter_class_iterator_protocol
class Countdown:
    def __init__(self, n):
        self.n = n
    def __iter__(self):
        return self
    def __next__(self):
        if self.n == 0:
            raise StopIteration
        self.n -= 1
        return self.n
print(list(Countdown(4)))
c = Countdown(2)
print(next(c), next(c), next(c, 'end'))

#### iter_class_iter_is_generator
class Tree:
    def __init__(self, *kids):
        self.kids = kids
    def __iter__(self):
        for k in self.kids:
            yield k
print(list(Tree('a', 'b')))

#### iter_iter_none
class NoIter:
    __iter__ = None
try:
    iter(NoIter())
except TypeError as e:
    print(e)

#### iter_returns_non_iterator
class Bad:
    def __iter__(self):
        return 5
try:
    for x in Bad():
        pass
except TypeError as e:
    print(e)

#### iter_not_iterable
for v in (5, None, 2.5):
    try:
        iter(v)
    except TypeError as e:
        print(e)

#### iter_next_on_non_iterator
try:
    next([1, 2])
except TypeError as e:
    print(e)

#### iter_nested_loops_break_continue
out = []
for i in range(4):
    if i == 1:
        continue
    for j in range(4):
        if j > i:
            break
        out.append((i, j))
print(out)

#### iter_for_else
for i in range(3):
    pass
else:
    print('completed', i)
for i in range(3):
    if i == 1:
        break
else:
    print('not printed')
print('broke at', i)

#### except_tuple_match
try:
    {}['k']
except (ValueError, TypeError, KeyError) as e:
    print('caught', repr(e))

#### except_empty_tuple
try:
    try:
        raise ValueError('x')
    except ():
        print('never')
except ValueError:
    print('empty tuple matched nothing')

#### except_order_first_match
try:
    raise KeyError('k')
except LookupError:
    print('LookupError first')
except KeyError:
    print('never')

#### except_user_hierarchy
class AppError(Exception):
    pass
class DbError(AppError):
    pass
for cls in (DbError, AppError, ValueError):
    try:
        raise cls('x')
    except DbError:
        print('db')
    except AppError as e:
        print('app', type(e).__name__)
    except Exception as e:
        print('other', type(e).__name__)

#### except_tuple_with_user_class
class MyError(Exception):
    pass
try:
    raise MyError('m')
except (KeyError, MyError) as e:
    print('tuple user', e)

#### except_bare_reraise
try:
    try:
        raise KeyError('a')
    except KeyError:
        raise
except KeyError as e:
    print('reraised', e)

#### except_raise_from
try:
    try:
        1 / 0
    except ZeroDivisionError as e:
        raise ValueError('wrapped') from e
except ValueError as e:
    print(e)

#### except_raise_in_handler
try:
    try:
        raise KeyError('first')
    except KeyError:
        raise ValueError('second')
except ValueError as e:
    print('ValueError', e)

#### except_base_exception
try:
    raise SystemExit(3)
except BaseException as e:
    print('caught', type(e).__name__)

#### except_uncaught_status
print('before')
raise ValueError('uncaught')

#### finally_with_return
def f():
    try:
        return 'try'
    finally:
        return 'finally'
print(f())

#### finally_return_overrides_exception
def f():
    try:
        raise KeyError('lost')
    finally:
        return 'finally wins'
print(f())

#### finally_runs_on_break_continue
for i in range(3):
    try:
        if i == 0:
            continue
        if i == 2:
            break
        print('body', i)
    finally:
        print('finally', i)

#### finally_order_nested
def f():
    try:
        try:
            raise ValueError('v')
        finally:
            print('inner finally')
    except ValueError:
        print('handler')
    finally:
        print('outer finally')
f()

#### try_else
try:
    x = 1
except Exception:
    print('no')
else:
    print('else runs', x)
finally:
    print('finally')

#### with_basic_exit_paths
class CM:
    def __init__(self, name, suppress=False):
        self.name = name
        self.suppress = suppress
    def __enter__(self):
        print('enter', self.name)
        return self
    def __exit__(self, t, v, tb):
        print('exit', self.name, t.__name__ if t else None, v)
        return self.suppress
with CM('a') as a, CM('b', True) as b:
    print('body', a.name, b.name)
    raise ValueError('boom')
print('after')

#### with_nested_suppress
class CM:
    def __init__(self, name, suppress=False):
        self.name = name
        self.suppress = suppress
    def __enter__(self):
        return self
    def __exit__(self, t, v, tb):
        print('exit', self.name, t.__name__ if t else None)
        return self.suppress
with CM('outer', 1):
    with CM('inner'):
        raise KeyError('k')
print('suppressed by the truthy 1')

#### with_return_and_break
class CM:
    def __init__(self, n):
        self.n = n
    def __enter__(self):
        return self.n
    def __exit__(self, *a):
        print('exit', self.n)
def f():
    for i in range(3):
        with CM(i) as n:
            if n == 1:
                return n
print(f())
for i in range(3):
    with CM(i):
        if i == 0:
            continue
        break

#### with_exit_sees_exception_value
class CM:
    def __enter__(self):
        return self
    def __exit__(self, t, v, tb):
        print(t is KeyError, isinstance(v, KeyError))
        return True
with CM():
    raise KeyError('x')

#### with_exception_in_enter
class CM:
    def __enter__(self):
        raise ValueError('enter failed')
    def __exit__(self, *a):
        print('never')
try:
    with CM():
        print('never')
except ValueError as e:
    print(e)

#### with_exception_in_exit
class CM:
    def __enter__(self):
        return self
    def __exit__(self, *a):
        raise KeyError('exit failed')
try:
    with CM():
        pass
except KeyError as e:
    print('KeyError', e)

#### with_not_a_context_manager
try:
    with 5:
        pass
except TypeError:
    print('TypeError')

#### with_as_tuple_target
class CM:
    def __enter__(self):
        return (1, 2)
    def __exit__(self, *a):
        pass
with CM() as (a, b):
    print(a + b)

#### assert_passes_and_fails
assert 1 == 1, 'fine'
try:
    assert 1 == 2, 'math'
except AssertionError as e:
    print('assert', e, e.args)

#### assert_without_message
try:
    assert False
except AssertionError as e:
    print('bare', e.args)

#### assert_truthiness
class Falsy:
    def __bool__(self):
        return False
for v in ([], {}, '', 0, Falsy()):
    try:
        assert v, 'falsy'
    except AssertionError:
        print('failed for', type(v).__name__)

#### assert_message_str
class Msg:
    def __str__(self):
        return 'custom message'
try:
    assert 0, Msg()
except AssertionError as e:
    print(e)

#### assert_uncaught_status
assert 1 > 2, 'fatal'

#### compare_subclass_reflected_first
class A:
    def __init__(self, n):
        self.n = n
    def __lt__(self, o):
        print('A.lt')
        return self.n < o.n
    def __gt__(self, o):
        print('A.gt')
        return self.n > o.n
class B(A):
    def __lt__(self, o):
        print('B.lt')
        return self.n < o.n
    def __gt__(self, o):
        print('B.gt')
        return self.n > o.n
print(A(1) < B(2))
print(B(1) < A(2))

#### compare_reflected_fallback
class N:
    def __lt__(self, o):
        return NotImplemented
class M:
    def __gt__(self, o):
        return 'reflected'
print(N() < M())

#### compare_not_implemented_both
class N:
    def __lt__(self, o):
        return NotImplemented
try:
    N() < N()
except TypeError as e:
    print(e)

#### compare_unorderable_builtins
for a, b in ((1, 'a'), ('a', 1), ([1], (1,)), (None, None)):
    try:
        a < b
    except TypeError as e:
        print(e)

#### compare_eq_only_gives_ne
class E:
    def __eq__(self, o):
        return isinstance(o, E)
print(E() == E(), E() != E(), E() != 3, E() == 3)

#### compare_identity_default
a = object()
class C:
    pass
c = C()
print(a == a, object() == object(), c == c, c != C(), c is c)

#### compare_numbers
print(1 == 1.0, True == 1, 2 ** 53 + 1 == float(2 ** 53 + 1), 2 ** 64 > 1.5e19, -0.0 == 0)
n = float('nan')
print(n == n, n != n, n < 1, n >= 1)

#### compare_strings_and_sequences
print('abc' < 'abd', 'ab' < 'abc', 'b' > 'abc', [1, 2] < [1, 2, 3], (1, 'a') < (1, 'b'), [1, [2]] == [1, [2]])

#### compare_result_not_bool
class R:
    def __eq__(self, o):
        return [1, 2]
    def __lt__(self, o):
        return 'yes'
print(R() == 1, R() < 1)
if R() < 1:
    print('truthy result used')

#### compare_sorted_user_objects
class V:
    def __init__(self, v):
        self.v = v
    def __lt__(self, o):
        return self.v < o.v
    def __repr__(self):
        return 'V(%d)' % self.v
print(sorted([V(3), V(1), V(2)]), min(V(5), V(4)), max([V(1), V(9)]))
print(sorted([V(2), V(1)], reverse=True))

#### compare_chained
x = 5
print(1 < x < 10, 1 < x > 10, 1 == 1 != 2, 3 > 2 > 1 > 0)

#### compare_eq_in_containers
class P:
    def __init__(self, v):
        self.v = v
    def __eq__(self, o):
        return isinstance(o, P) and self.v == o.v
print([P(1)] == [P(1)], P(2) in [P(1), P(2)], [P(1)].index(P(1)), [P(1), P(1)].count(P(1)))

#### compare_eq_exception_propagates
class Boom:
    def __eq__(self, o):
        raise RuntimeError('eq failed')
try:
    Boom() == 1
except RuntimeError as e:
    print(e)

#### isinstance_hooks
class Meta(type):
    def __instancecheck__(cls, obj):
        return obj == 42
    def __subclasscheck__(cls, sub):
        return sub is int
class Anything(metaclass=Meta):
    pass
print(isinstance(42, Anything), isinstance(41, Anything), issubclass(int, Anything), issubclass(str, Anything))

#### isinstance_builtin_rules
class A:
    pass
class B(A):
    pass
print(isinstance(True, int), isinstance(3, (str, int)), issubclass(bool, int), isinstance(B(), A), issubclass(A, B))
print(isinstance(B(), (int, (str, A))), isinstance(1, object), issubclass(B, object))

#### contains_builtins
print(2 in [1, 2], 'b' in 'abc', '' in 'x', 'k' in {'k': 1}, 3 in {3}, 4 in range(0, 10, 2), 5 in range(0, 10, 2))
print(b'b' in b'abc', 98 in b'abc', b'' in b'x', (1,) in [(1,)], 'x' not in 'abc', 2.0 in range(3))
for bad in (256, 'a'):
    try:
        bad in b'abc'
    except (ValueError, TypeError) as e:
        print(e)

#### contains_dunder_contains
class C:
    def __contains__(self, x):
        return x == 3
print(3 in C(), 4 in C(), 4 not in C())

#### contains_truthy_result
class C:
    def __contains__(self, x):
        return [x]
print(1 in C())

#### contains_via_iter
class C:
    def __iter__(self):
        return iter([1, 2, 3])
print(2 in C(), 9 in C())

#### contains_via_getitem
class C:
    def __getitem__(self, i):
        if i > 4:
            raise IndexError
        return i * 10
print(40 in C(), 41 in C())

#### contains_infinite_generator
def naturals():
    i = 0
    while True:
        yield i
        i += 1
g = naturals()
print(100 in g, next(g))

#### contains_type_errors
try:
    3 in 5
except TypeError:
    print('int is no container')
try:
    1 in 'abc'
except TypeError as e:
    print(e)

#### contains_identity_before_equality
class Odd:
    def __eq__(self, o):
        return False
o = Odd()
print(o in [o], Odd() in [o])

#### iter_reversed_and_sorted_generators
def g():
    yield 3
    yield 1
    yield 2
print(sorted(g()), list(g())[::-1], tuple(g()))

#### except_in_generator_handler_chain
def risky(n):
    for i in range(n):
        if i == 2:
            raise IndexError('at two')
        yield i
out = []
try:
    for v in risky(5):
        out.append(v)
except IndexError as e:
    out.append(str(e))
print(out)

#### index_dunder_subscripts
class I:
    def __init__(self, v):
        self.v = v
    def __index__(self):
        return self.v
print([10, 20, 30][I(1)], 'abc'[I(-1)], [1, 2, 3, 4][I(1):I(3)], (1, 2)[True])
class S:
    def __index__(self):
        return 'x'
try:
    [1][S()]
except TypeError as e:
    print(e)

#### yield_from_exception_caught_by_delegator
def inner():
    yield 1
    raise KeyError('inner')
def outer():
    try:
        yield from inner()
    except KeyError as e:
        yield 'outer caught ' + str(e)
    yield 'end'
print(list(outer()))

#### generator_in_class_body
class C:
    items = [x for x in (y * 2 for y in range(3))]
    total = 0
    for v in (z for z in range(4)):
        total += v
print(C.items, C.total)

#### generator_deep_nesting
def rec(k):
    if k == 0:
        yield from range(3)
    else:
        for v in rec(k - 1):
            yield v
print(list(rec(100)))

#### generator_return_inside_loop
def g():
    for i in range(10):
        if i == 3:
            return i
        yield i
print(list(g()))

#### generator_yield_in_finally
def g():
    try:
        try:
            yield 1
            raise ValueError('a')
        except ValueError:
            yield 2
        yield 3
    finally:
        yield 4
print(list(g()))

#### generator_yield_expression_values
def g():
    total = 0
    while True:
        x = (yield total) or 0
        total += x
y = g()
next(y)
print(y.send(3), y.send(None), y.send(4))
lam = lambda: (yield 5)
print(list(lam()))
def multi():
    a, b = yield 1, 2
    yield a, b
m = multi()
print(next(m), m.send((7, 8)))

#### generator_body_raising_stop_iteration
def s():
    raise StopIteration
    yield
for make in (lambda: next(s()), lambda: list(s()), lambda: [x for x in s()], lambda: s().send(None)):
    try:
        make()
    except RuntimeError as e:
        print('RuntimeError', e)
def inner():
    yield 1
    next(iter([]))
    yield 2
print(list(x for x in [1]))
try:
    print(list(inner()))
except RuntimeError as e:
    print('RuntimeError', e)
def catches():
    try:
        raise StopIteration(5)
    except StopIteration as e:
        yield e.value
print(list(catches()))
async def c():
    raise StopIteration
try:
    c().send(None)
except RuntimeError as e:
    print('RuntimeError', e)
def g():
    return 3
    yield
def outer():
    r = yield from g()
    yield r
print(list(outer()))
try:
    print(list(next(iter([])) for _ in [1]))
except RuntimeError as e:
    print('RuntimeError', e)
def unhandled():
    yield next(iter(()))
print(sorted(unhandled()))
