"""Builds the extension module tarnwick._native with the project's own CMake + Ninja build.

    pip install --no-build-isolation .

The module is compiled against the stable ABI (one binary for CPython 3.11 and later) in
build/pip (or $TARNWICK_CMAKE_BUILD_DIR); only its target is built. Nothing is downloaded: the
build uses the compiler, CMake, Ninja and the libraries already installed (scripts/install-deps).
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(os.environ.get("TARNWICK_CMAKE_BUILD_DIR", ROOT / "build" / "pip"))
        if not (build_dir / "build.ninja").exists():
            subprocess.run(
                [
                    "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={sys.executable}",
                ],
                check=True,
            )
        # The job count follows CMAKE_BUILD_PARALLEL_LEVEL when it is set.
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "tw_native"], check=True)
        built = build_dir / "python" / "tarnwick" / "_native.abi3.so"
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


setup(
    ext_modules=[Extension("tarnwick._native", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp311"}},
)
