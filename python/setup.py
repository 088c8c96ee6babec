# setup.py -- builds the brisel Python package: the engine's sources and the pybind11 binding
#
# Offline, from Debian's packages: /usr/bin/python3 -m pip install --no-build-isolation ./python
# (or `setup.py build_ext --inplace` for the tests). The version is the C++ build's,
# read from the project line of the top CMakeLists.txt.
import platform
import re
import sys
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*brisel\s+VERSION\s+([0-9][0-9.]*)", text)
    if match is None:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


def engine_sources() -> list:
    # The in-memory run and what it links: the engine, the store it can also
    # read from, the core.
    sources = []
    for folder in ("core", "store", "engine"):
        for path in sorted((ROOT / folder).glob("*.cpp")):
            if path.name.endswith("Win32.cpp"):
                continue
            sources.append(str(path))
    return sources


def build_inputs() -> list:
    # build_ext rebuilds the extension only when one of its sources or of
    # these is newer than it: the headers, and this file for the flags below.
    # Without them an in-place build kept an extension built with older flags.
    headers = []
    for folder in ("core", "store", "engine"):
        headers.extend(str(path) for path in sorted((ROOT / folder).glob("*.h")))
    return headers + [str(HERE / "setup.py"), str(ROOT / "CMakeLists.txt")]


VERSION = project_version()

# The row step's AVX2 build beside the SSE2 one, picked at run time, as in the
# C++ build on x86-64 Linux.
MACROS = [("BRISEL_VERSION", '"%s"' % VERSION)]
if platform.machine() in ("x86_64", "AMD64") and sys.platform.startswith("linux"):
    MACROS.append(("BRISEL_AVX2_KERNELS", None))

extension = Pybind11Extension(
    "brisel._core",
    [str(HERE / "brisel" / "_core.cpp")] + engine_sources(),
    include_dirs=[str(ROOT)],
    depends=build_inputs(),
    define_macros=MACROS,
    cxx_std=17,
    # The same bits as the C++ build: exact double arithmetic, no fused multiply-add.
    extra_compile_args=["-O3", "-fno-wrapv", "-fno-stack-protector", "-ffp-contract=off",
                        "-pthread"],
    extra_link_args=["-pthread"],
)

setup(
    name="brisel",
    version=VERSION,
    description=("Adaptive equalisation for NumPy and Dask arrays, "
                 "bit-identical to the brisel filter"),
    packages=["brisel"],
    package_data={"brisel": ["py.typed"]},
    ext_modules=[extension],
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"dask": ["dask[array]", "distributed"]},
    zip_safe=False,
)
