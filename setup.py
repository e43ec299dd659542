"""Build the lurvo extension module: every C++ source of src/ goes into one
shared object, and the pure-Python modules of python/ are shipped beside
it.  Package metadata lives here too, and only here: the package version is
VERSION below; the Python series and their NumPy floors are the rows of
tools/pythons.txt, the module's sources those of src/sources.txt."""
import io
import os
import sys

try:
    from setuptools import setup, Extension
    from setuptools.command.build_ext import build_ext
except ImportError:  # a bare Python 2.7 without setuptools
    from distutils.command.build_ext import build_ext
    from distutils.core import setup, Extension

VERSION = "0.1"

HERE = os.path.dirname(os.path.abspath(__file__))
SERIES = sys.version_info[:2]
# The pure-Python packages of python/, each shipped under its own name.
PACKAGES = ["lurvo_camserver", "lurvo_grab", "lurvo_view", "lurvo-stubs", "lurvo_grab-stubs"]

# Python 2.7's headers use the `register` keyword, which C++17 removed.
CXXFLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Wno-register"]
# Our own builds (the Makefile and tools/ set LURVO_WERROR) hold our code
# to warning-free.  A user's pip install does not: a warning that a newer
# compiler adds must not stop someone who cannot change the code.
if os.environ.get("LURVO_WERROR"):
    CXXFLAGS.append("-Werror")

# Flags for both compiling and linking, for instrumented builds such as
# `make sanitize` (which also chooses a build folder of its own).
EXTRA_FLAGS = os.environ.get("LURVO_EXTRA_FLAGS", "").split()


def rows(name):
    """The rows of a table file of the project: its lines split into
    columns, without comments and blank lines."""
    with io.open(os.path.join(HERE, name), encoding="utf-8") as table:
        return [[str(column) for column in line.split("#", 1)[0].split()] for line in table
                if line.split("#", 1)[0].strip()]


def series_of(text):
    return tuple(int(part) for part in text.split("."))


# (series, oldest NumPy, C API target or None), oldest series first.
NUMPY_FLOOR = [(series_of(row[0]), row[1], None if row[2] == "-" else row[2])
               for row in rows(os.path.join("tools", "pythons.txt"))]
NEWEST = NUMPY_FLOOR[-1][0]


def numpy_requirements():
    """One requirement per row, with the marker of its series; the newest
    row's also holds for the series after it, which have no row yet."""
    reqs = []
    for series, floor, _ in NUMPY_FLOOR:
        if series[0] == 2:
            marker = "python_version < '3'"
        else:
            marker = "python_version %s '%d.%d'" % ((">=" if series == NEWEST else "==",) + series)
        reqs.append("numpy>=%s; %s" % (floor, marker))
    return reqs


def numpy_target():
    """The C API level of the newest row at or below this Python.  A Python
    newer than the table builds against the newest row, as its NumPy
    floor is the best known; it is said, not refused."""
    if SERIES > NEWEST:
        sys.stderr.write("lurvo: Python %d.%d is newer than the NumPy floors of the table "
                         "(newest: %d.%d); building against those of %d.%d\n"
                         % (SERIES + NEWEST + NEWEST))
    targets = [target for series, _, target in NUMPY_FLOOR if series <= SERIES]
    return [("NPY_TARGET_VERSION", targets[-1])] if targets[-1] else []


def python_requires():
    """The series of the table and nothing between them; no upper bound,
    since a Python newer than the table still builds from the archive."""
    known = set(series for series, _, _ in NUMPY_FLOOR)
    excluded = ["!=3.%d.*" % minor for minor in range(NEWEST[1]) if (3, minor) not in known]
    return ", ".join([">=2.7"] + excluded)


def classifiers():
    majors = sorted(set(series[0] for series, _, _ in NUMPY_FLOOR))
    versions = ["Programming Language :: Python :: %d" % major for major in majors]
    versions += ["Programming Language :: Python :: %d.%d" % series
                 for series, _, _ in NUMPY_FLOOR]
    return sorted(versions, key=lambda c: [int(p) for p in c.rsplit(" ", 1)[1].split(".")])


def module_files(header):
    """The module's sources (or headers) as src/sources.txt lists them."""
    return [os.path.join("src", row[0]) for row in rows(os.path.join("src", "sources.txt"))
            if ("header" in row[1:]) == header]


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
        # python3.7m on 3.7 and before, whose ABI flags name the library.
        libpython = "python%d.%d" % SERIES
        return [lib for lib in build_ext.get_libraries(self, ext)
                if lib.rstrip("dmu") != libpython]


lurvo = Extension(
    "lurvo",
    sources=module_files(header=False),
    depends=module_files(header=True),
    include_dirs=[os.path.join(HERE, "src")],
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
    ] + classifiers() + [
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Multimedia :: Graphics :: Capture :: Digital Camera",
        "Topic :: Scientific/Engineering :: Image Processing",
        "Typing :: Typed",
    ],
    python_requires=python_requires(),
    ext_modules=[lurvo],
    install_requires=numpy_requirements(),
    # The extension module stays at the top (build_ext --inplace leaves it
    # there, importable from a checkout); only the packages live in python/.
    packages=PACKAGES,
    package_dir=dict((name, os.path.join("python", name)) for name in PACKAGES),
    # Type information for editors and type checkers, as a stub-only package.
    package_data={"lurvo-stubs": ["__init__.pyi"], "lurvo_grab-stubs": ["*.pyi"]},
    # setuptools makes the command; a bare distutils has no entry points,
    # and python -m lurvo_view does the same.
    entry_points={"console_scripts": ["lurvo-view = lurvo_view.cli:main"]},
    zip_safe=False,
    cmdclass={"build_ext": BuildExt},
)
