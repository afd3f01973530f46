"""Builds the quarnix module: libquarnix.a from this source tree (by CMake),
then the extension linked against it.

QRN_BUILD_DIR names a CMake build directory of the tree to take the library
from (the Makefile passes its own); without it the library is configured and
built in setuptools' temporary directory. QRN_JOBS sets the build's parallel
jobs (default: every processor)."""
import os
import pathlib
import re
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def library_version():
    text = (ROOT / "include" / "quarnix.h").read_text()
    parts = [re.search(rf"#define QRN_VERSION_{p} (\d+)", text).group(1) for p in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts)


class BuildWithLibrary(build_ext):
    def run(self):
        tree = os.environ.get("QRN_BUILD_DIR")
        if not tree:
            tree = os.path.abspath(os.path.join(self.build_temp, "libquarnix"))
            if not os.path.exists(os.path.join(tree, "CMakeCache.txt")):
                subprocess.check_call(["cmake", "-S", str(ROOT), "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                                       "-DQRN_TESTS=OFF"])
        jobs = os.environ.get("QRN_JOBS") or str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", tree, "--target", "quarnix_static", "-j", jobs])
        library = os.path.join(tree, "libquarnix.a")
        for ext in self.extensions:
            ext.extra_objects = [library]
            ext.depends = [library]
        super().run()


setup(
    name="quarnix",
    version=library_version(),
    description="quarnix containers: one-call and streaming compression, and file objects",
    packages=["quarnix"],
    ext_modules=[Extension(
        "quarnix._quarnix",
        sources=["src/_quarnix.cpp"],
        include_dirs=[str(ROOT / "include")],
        extra_compile_args=["-std=c++17"],
        extra_link_args=["-pthread"],
        language="c++",
    )],
    cmdclass={"build_ext": BuildWithLibrary},
    python_requires=">=3.9",
)
