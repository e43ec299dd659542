"""Build the lurvo extension module: every C++ source of the project
goes into one shared object.  Package metadata lives here too, and only
here: the package version is VERSION below."""
import glob
import io
import os
import sys

try:
    from setuptools import setup, Extension
    from setuptools.command.build_ext import build_ext
    from setuptools.command.build_py import build_py
except ImportError:  # a bare Python 2.7 without setuptools
    from distutils.command.build_ext import build_ext
    from distutils.command.build_py import build_py
    from distutils.core import setup, Extension

VERSION = "0.1"

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIRS = ("binding", "transport", "image", "common")
SERIES = sys.version_info[:2]

# Python 2.7's headers use the `register` keyword, which C++17 removed.
CXXFLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Wno-register"]
# Our own builds (the Makefile and scripts/ set LURVO_WERROR) hold our code
# to warning-free.  A user's pip install does not: a warning that a newer
# compiler adds must not stop someone who cannot change the code.
if os.environ.get("LURVO_WERROR"):
    CXXFLAGS.append("-Werror")

# Flags for both compiling and linking, for instrumented builds such as
# `make sanitize` (which also chooses a build folder of its own).
EXTRA_FLAGS = os.environ.get("LURVO_EXTRA_FLAGS", "").split()

# The oldest NumPy each Python series can install (its first release with
# wheels for that series), and the C API level of that release.  A module
# built against NumPy 2's headers with NPY_TARGET_VERSION at that level
# imports under every NumPy 1.x and 2.x the series has.  NumPy 1.x headers
# know no target: 2.7 and 3.8, which have no NumPy 2, build against the
# floor release itself (pyproject.toml pins it).  A series newer than the
# last row is refused (python_requires): no NumPy floor is known for it.
NUMPY_FLOOR = [
    ((2, 7), "1.16.6", None),
    ((3, 8), "1.17.3", None),
    ((3, 9), "1.19.3", "NPY_1_19_API_VERSION"),
    ((3, 10), "1.21.2", "NPY_1_21_API_VERSION"),
    ((3, 11), "1.23.2", "NPY_1_23_API_VERSION"),
    ((3, 12), "1.26.0", "NPY_1_25_API_VERSION"),   # 1.26 kept 1.25's API
    ((3, 13), "2.1.0", "NPY_2_1_API_VERSION"),
    ((3, 14), "2.3.2", "NPY_2_3_API_VERSION"),
    ((3, 15), "2.5.2", "NPY_2_5_API_VERSION"),
]
NEWEST = NUMPY_FLOOR[-1][0]


def numpy_requirements():
    """One requirement per row, with the marker of its series."""
    reqs = []
    for series, floor, _ in NUMPY_FLOOR:
        marker = ("python_version < '3'" if series[0] == 2
                  else "python_version == '%d.%d'" % series)
        reqs.append("numpy>=%s; %s" % (floor, marker))
    return reqs


def numpy_target():
    if SERIES > NEWEST:
        sys.exit("lurvo: no NumPy floor is known for Python %d.%d (newest: %d.%d)"
                 % (SERIES + NEWEST))
    targets = [target for series, _, target in NUMPY_FLOOR if series <= SERIES]
    return [("NPY_TARGET_VERSION", targets[-1])] if targets[-1] else []


def module_sources():
    """sources.txt, whose first column names every C++ source of the module."""
    with io.open(os.path.join(HERE, "sources.txt"), encoding="utf-8") as listing:
        return [str(line.split()[0]) for line in listing
                if line.strip() and not line.startswith("#")]


def project_headers():
    found = []
    for folder in SOURCE_DIRS:
        found.extend(sorted(glob.glob(os.path.join(folder, "*.h"))))
    return found


def without_rpath(flags):
    return [f for f in flags if not f.startswith(("-Wl,-rpath", "-Wl,-R", "-R"))]


class BuildExt(build_ext):
    """Adds NumPy's headers, drops the C-only flags that Python's own build
    configuration passes, which g++ would warn about, and links the module
    the way a wheel must be linked: the interpreter that loads it provides
    Python's symbols, so no libpython link (Python 2.7 adds one when the
    interpreter is a shared build) and no run path (an interpreter built
    with one passes its own library folder)."""

    def build_extensions(self):
        import numpy   # here, not at import: an sdist needs no NumPy
        for ext in self.extensions:
            ext.include_dirs.append(numpy.get_include())
        for attr in ("compiler_so", "compiler"):
            flags = getattr(self.compiler, attr, None)
            if flags and "-Wstrict-prototypes" in flags:
                flags.remove("-Wstrict-prototypes")
        # Newer setuptools link C++ with a command of their own.
        for attr in ("linker_so", "linker_so_cxx"):
            flags = getattr(self.compiler, attr, None)
            if flags:
                setattr(self.compiler, attr, without_rpath(flags))
        self.compiler.runtime_library_dirs = []
        build_ext.build_extensions(self)

    def get_libraries(self, ext):
        libpython = "python%d.%d" % SERIES
        return [lib for lib in build_ext.get_libraries(self, ext) if lib != libpython]


class BuildPy(build_py):
    """camserver/lurvo_camserver.py as the top-level module lurvo_camserver.
    A package_dir of camserver/ would do the same, but would also move the
    module that build_ext --inplace makes into camserver/."""

    def find_modules(self):
        return [("", "lurvo_camserver", os.path.join("camserver", "lurvo_camserver.py"))]


lurvo = Extension(
    "lurvo",
    sources=module_sources(),
    depends=project_headers(),
    include_dirs=[HERE],
    define_macros=numpy_target(),
    language="c++",
    extra_compile_args=CXXFLAGS + EXTRA_FLAGS,
    extra_link_args=EXTRA_FLAGS,
)

with io.open(os.path.join(HERE, "README.md"), encoding="utf-8") as readme:
    LONG_DESCRIPTION = readme.read()

setup(
    name="lurvo",
    version=VERSION,
    description="Grab greyscale PGM frames from an HTTP camera server as NumPy arrays",
    long_description=LONG_DESCRIPTION,
    long_description_content_type="text/markdown",
    license="MIT",
    classifiers=[
        "Intended Audience :: Developers",
        "Intended Audience :: Science/Research",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 2",
        "Programming Language :: Python :: 2.7",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: 3.14",
        "Programming Language :: Python :: 3.15",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Multimedia :: Graphics :: Capture :: Digital Camera",
        "Topic :: Scientific/Engineering :: Image Processing",
        "Typing :: Typed",
    ],
    python_requires=">=2.7, %s, <%d.%d" % (", ".join("!=3.%d.*" % minor for minor in range(8)),
                                            NEWEST[0], NEWEST[1] + 1),
    ext_modules=[lurvo],
    install_requires=numpy_requirements(),
    # Type information for editors and type checkers, as a stub-only package.
    packages=["lurvo-stubs"],
    package_data={"lurvo-stubs": ["__init__.pyi"]},
    # The camera server, importable for serving one's own camera's frames.
    py_modules=["lurvo_camserver"],
    zip_safe=False,
    cmdclass={"build_ext": BuildExt, "build_py": BuildPy},
)
