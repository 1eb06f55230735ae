"""Iteration functions that the virtual machine runs as bytecode instead of native loops.

materialize(iterable) collects the items of any iterable into a new list; call_with_items calls a
builtin once the arguments it iterates are such lists, call_unpacked a callable once its *iterable
arguments are expanded; aiter and anext are the builtins of the same names.
"""


def materialize(iterable):
    # The same list as [item for item in iterable], without a method lookup per item.
    items = []
    append = items.append
    for item in iterable:
        append(item)
    return items


def call_with_items(function, positions, /, *args, **kwargs):
    args = list(args)
    for at in positions:
        args[at] = materialize(args[at])
    return function(*args, **kwargs)


def call_unpacked(function, starred, /, *args, **kwargs):
    flat = []
    for at, arg in enumerate(args):
        if at in starred:
            flat += materialize(arg)
        else:
            flat.append(arg)
    return function(*flat, **kwargs)


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
