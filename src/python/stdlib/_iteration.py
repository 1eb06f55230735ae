"""Iteration functions that the virtual machine runs as bytecode instead of native loops.

materialize(iterable) collects the items of any iterable into a new list; call_with_items calls a
builtin once the arguments it iterates are such lists, call_unpacked a callable once its *iterable
arguments are expanded; next_item is next() of an iterator whose step runs Python code; take and
build_unpacked collect the items of `a, b = iterable` and of [*iterable]; aiter and anext are the
builtins of the same names.
"""


def materialize(iterable):
    # The same list as [item for item in iterable], without a method lookup per item.
    items = []
    append = items.append
    for item in iterable:
        append(item)
    return items


def next_item(iterator, *default):
    # The loop takes one step (a generator waits for input there); an exhausted iterator's own
    # __next__ raises the StopIteration that carries a generator's return value.
    for item in iterator:
        return item
    if default:
        return default[0]
    return type(iterator).__next__(iterator)


def take(iterable, most):
    # The first `most` items (all of them when `most` is negative): unpacking asks one beyond its
    # targets, which is enough to tell there are too many.
    if most < 0:
        return materialize(iterable)
    items = []
    if most == 0:
        return items
    append = items.append
    for item in iterable:
        append(item)
        if len(items) == most:
            break
    return items


def build_unpacked(kind, starred, /, *values):
    # kind 0 builds a list, 1 a tuple, 2 a set; the values at the `starred` positions are expanded.
    items = []
    for at, value in enumerate(values):
        if at in starred:
            items += materialize(value)
        else:
            items.append(value)
    if kind == 1:
        return tuple(items)
    if kind == 2:
        return set(items)
    return items


def call_with_items(function, positions, /, *args, **kwargs):
    args = list(args)
    for at in positions:
        args[at] = materialize(args[at])
    return function(*args, **kwargs)


def call_unpacked(function, starred, /, *args, **kwargs):
    return function(*build_unpacked(0, starred, *args), **kwargs)


def aiter(iterable):
    try:
        method = type(iterable).__aiter__
    except AttributeError:
        raise TypeError("'" + type(iterable).__name__ + "' object is not an async iterable") from None
    return method(iterable)


def anext(iterator, *default):
    if len(default) > 1:
        raise TypeError("anext expected at most 2 arguments, got " + str(len(default) + 1))
    try:
        method = type(iterator).__anext__
    except AttributeError:
        raise TypeError("'" + type(iterator).__name__ + "' object is not an async iterator") from None
    awaitable = method(iterator)
    if not default:
        return awaitable
    fallback = default[0]

    async def with_default():
        try:
            return await awaitable
        except StopAsyncIteration:
            return fallback

    return with_default()
