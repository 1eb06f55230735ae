import importlib
import pathlib


def test_native_module_imports_from_the_built_package():
    native = importlib.import_module("tarnwick._native")
    path = pathlib.Path(native.__file__)
    # Built against the stable ABI: one binary serves every CPython from 3.11 on.
    assert path.name == "_native.abi3.so"
    assert path.parent.name == "tarnwick"


def test_package_exposes_native():
    import tarnwick

    assert tarnwick._native.__name__ == "tarnwick._native"
