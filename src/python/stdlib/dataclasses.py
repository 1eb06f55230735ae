"""Data classes over class annotations and the metered virtual machine (`_dataclasses`).

The class statement records the annotated fields; mark_dataclass makes calling the class fill
them from the arguments, taking defaults and the default factories of Field markers.
"""
from _dataclasses import mark_dataclass

__all__ = ["MISSING", "FrozenInstanceError", "Field", "field", "dataclass", "is_dataclass", "fields",
           "asdict", "astuple", "replace"]


class _MissingType:
    def __repr__(self):
        return "MISSING"


MISSING = _MissingType()


class FrozenInstanceError(AttributeError):
    pass


class Field:
    # The instance initialiser recognises a field marker by these attributes.
    _tarnwick_dataclass_field = True

    def __init__(self, default, default_factory):
        self.default = default
        self.default_factory = default_factory
        self.has_default = default is not MISSING
        self.has_factory = default_factory is not MISSING
        self.name = None

    def __repr__(self):
        return "Field(name=%r,default=%r,default_factory=%r)" % (self.name, self.default, self.default_factory)


def field(*, default=MISSING, default_factory=MISSING):
    if default is not MISSING and default_factory is not MISSING:
        raise ValueError("cannot specify both default and default_factory")
    return Field(default, default_factory)


def _field_names(obj):
    return type(obj).__tarnwick_dataclass_field_names__


def _field_values(obj):
    return tuple(getattr(obj, name) for name in _field_names(obj))


def _dataclass_eq(self, other):
    if type(self) is not type(other):
        return NotImplemented
    return _field_values(self) == _field_values(other)


def _dataclass_hash(self):
    return hash(_field_values(self))


def _dataclass_repr(self):
    parts = [name + "=" + repr(getattr(self, name)) for name in _field_names(self)]
    return type(self).__qualname__ + "(" + ", ".join(parts) + ")"


def _frozen_setattr(self, name, value):
    raise FrozenInstanceError("cannot assign to field %r" % (name,))


def _frozen_delattr(self, name):
    raise FrozenInstanceError("cannot delete field %r" % (name,))


def _process_class(cls, eq, frozen, kw_only):
    mark_dataclass(cls)
    cls.__tarnwick_dataclass__ = True
    cls.__tarnwick_dataclass_kw_only__ = kw_only
    own = cls.__dict__
    names = cls.__tarnwick_dataclass_field_names__
    # As on the instances, the class attribute of a field is its default; a field made by a
    # factory has none.
    for name in names:
        value = own.get(name, MISSING)
        if isinstance(value, Field):
            value.name = name
            if value.has_default:
                setattr(cls, name, value.default)
            else:
                delattr(cls, name)
    if "__repr__" not in own:
        cls.__repr__ = _dataclass_repr
    if "__match_args__" not in own:
        cls.__match_args__ = names
    if eq and "__eq__" not in own:
        cls.__eq__ = _dataclass_eq
    if "__hash__" not in own:
        if eq and frozen:
            cls.__hash__ = _dataclass_hash
        elif eq:
            cls.__hash__ = None
    if frozen:
        cls.__setattr__ = _frozen_setattr
        cls.__delattr__ = _frozen_delattr
    return cls


def dataclass(cls=None, *, eq=True, frozen=False, kw_only=False):
    def wrap(cls):
        return _process_class(cls, eq, frozen, kw_only)

    if cls is None:
        return wrap
    return wrap(cls)


def _is_dataclass_instance(obj):
    return not isinstance(obj, type) and hasattr(type(obj), "__tarnwick_dataclass__")


def is_dataclass(obj):
    cls = obj if isinstance(obj, type) else type(obj)
    return hasattr(cls, "__tarnwick_dataclass__")


def fields(class_or_instance):
    raise NotImplementedError("dataclasses.fields is not implemented")


def _as_plain(value, factory):
    if _is_dataclass_instance(value):
        return factory([(name, _as_plain(getattr(value, name), factory)) for name in _field_names(value)])
    if isinstance(value, tuple) and hasattr(value, "_fields"):
        return type(value)(*[_as_plain(v, factory) for v in value])
    if isinstance(value, (list, tuple)):
        return type(value)(_as_plain(v, factory) for v in value)
    if isinstance(value, dict):
        return type(value)((_as_plain(k, factory), _as_plain(v, factory)) for k, v in value.items())
    return value


def asdict(obj, *, dict_factory=dict):
    if not _is_dataclass_instance(obj):
        raise TypeError("asdict() should be called on dataclass instances")
    return _as_plain(obj, dict_factory)


def astuple(obj, *, tuple_factory=tuple):
    if not _is_dataclass_instance(obj):
        raise TypeError("astuple() should be called on dataclass instances")
    def factory(pairs):
        return tuple_factory([value for _, value in pairs])

    return _as_plain(obj, factory)


def replace(obj, /, **changes):
    if not _is_dataclass_instance(obj):
        raise TypeError("replace() should be called on dataclass instances")
    for name in _field_names(obj):
        if name not in changes:
            changes[name] = getattr(obj, name)
    return type(obj)(**changes)
