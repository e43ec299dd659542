"""Build the lurvo extension module: every C++ source of the project
goes into one shared object."""
import glob
import os

try:
    from setuptools import setup, Extension
    from setuptools.command.build_ext import build_ext
except ImportError:  # a bare Python 2.7 without setuptools
    from distutils.command.build_ext import build_ext
    from distutils.core import setup, Extension

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIRS = ("binding", "transport", "image", "common")

# Our own code is held to warning-free; Python 2.7's headers use the
# `register` keyword, which C++17 removed.
CXXFLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror",
            "-Wno-register"]

# Flags for both compiling and linking, for instrumented builds such as
# `make sanitize` (which also chooses a build folder of its own).
EXTRA_FLAGS = os.environ.get("LURVO_EXTRA_FLAGS", "").split()


def project_files(pattern):
    found = []
    for folder in SOURCE_DIRS:
        found.extend(sorted(glob.glob(os.path.join(folder, pattern))))
    return found


class BuildExt(build_ext):
    """Adds NumPy's headers and drops the C-only flags that Python's own
    build configuration passes, which g++ would warn about."""

    def finalize_options(self):
        build_ext.finalize_options(self)
        import numpy
        self.include_dirs.append(numpy.get_include())

    def build_extensions(self):
        for attr in ("compiler_so", "compiler"):
            flags = getattr(self.compiler, attr, None)
            if flags and "-Wstrict-prototypes" in flags:
                flags.remove("-Wstrict-prototypes")
        build_ext.build_extensions(self)


lurvo = Extension(
    "lurvo",
    sources=project_files("*.cpp"),
    depends=project_files("*.h"),
    include_dirs=[HERE],
    language="c++",
    extra_compile_args=CXXFLAGS + EXTRA_FLAGS,
    extra_link_args=EXTRA_FLAGS,
)

setup(
    name="lurvo",
    version="0.1",
    description="Grab greyscale PGM frames from an HTTP camera server as NumPy arrays",
    ext_modules=[lurvo],
    install_requires=["numpy"],
    # Type information for editors and type checkers, as a stub-only package.
    packages=["lurvo-stubs"],
    package_data={"lurvo-stubs": ["__init__.pyi"]},
    cmdclass={"build_ext": BuildExt},
)
