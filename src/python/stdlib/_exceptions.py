"""Exception groups as ordinary exception classes: BaseExceptionGroup and ExceptionGroup."""


def _matcher(condition):
    if isinstance(condition, type) and issubclass(condition, BaseException):
        return lambda exc: isinstance(exc, condition)
    if isinstance(condition, tuple) and all(isinstance(c, type) and issubclass(c, BaseException) for c in condition):
        return lambda exc: isinstance(exc, condition)
    if callable(condition) and not isinstance(condition, type):
        return condition
    raise TypeError("expected an exception type, a tuple of exception types, or a callable")


def _copy_notes(source, target):
    try:
        notes = source.__notes__
    except AttributeError:
        return target
    target.__notes__ = list(notes)
    return target


class BaseExceptionGroup(BaseException):
    def __init__(self, message, exceptions):
        if not isinstance(message, str):
            raise TypeError("argument 1 must be str, not " + type(message).__name__)
        exceptions = tuple(exceptions)
        if not exceptions:
            raise ValueError("second argument (exceptions) must be a non-empty sequence")
        index = 0
        for exc in exceptions:
            if not isinstance(exc, BaseException):
                raise ValueError("Item %d of second argument (exceptions) is not an exception" % index)
            index += 1
        if isinstance(self, Exception):
            for exc in exceptions:
                if not isinstance(exc, Exception):
                    raise TypeError("Cannot nest BaseExceptions in an ExceptionGroup")
        super().__init__(message, exceptions)
        self._message = message
        self._exceptions = exceptions

    @property
    def message(self):
        return self._message

    @property
    def exceptions(self):
        return self._exceptions

    def __str__(self):
        count = len(self._exceptions)
        return "%s (%d sub-exception%s)" % (self._message, count, "" if count == 1 else "s")

    def __repr__(self):
        return "%s(%r, %r)" % (type(self).__name__, self._message, list(self._exceptions))

    def derive(self, excs):
        return type(self)(self._message, excs)

    def split(self, condition):
        match = _matcher(condition)
        if match(self):
            return self, None
        matched = []
        rest = []
        for exc in self._exceptions:
            if isinstance(exc, BaseExceptionGroup):
                inner_match, inner_rest = exc.split(condition)
                if inner_match is not None:
                    matched.append(inner_match)
                if inner_rest is not None:
                    rest.append(inner_rest)
            elif match(exc):
                matched.append(exc)
            else:
                rest.append(exc)
        first = _copy_notes(self, self.derive(matched)) if matched else None
        second = _copy_notes(self, self.derive(rest)) if rest else None
        return first, second

    def subgroup(self, condition):
        return self.split(condition)[0]


class ExceptionGroup(BaseExceptionGroup, Exception):
    pass
