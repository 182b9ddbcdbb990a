"""Builds the compiled module with the library's own CMake build (the libraries are compiled as
position-independent static libraries and linked into the module), then packages it.

    python3 -m venv --system-site-packages .venv && .venv/bin/pip install --no-build-isolation ./python

Needs cmake, a C++20 compiler, OpenSSL (libssl-dev), pybind11 (pybind11-dev) and the Python
headers (python3-dev); the BlueZ backend is included when sdbus-c++ (libsdbus-c++-dev) is found.
VEXA_BUILD_DIR chooses the CMake build directory (default: ../build/python-package, kept between
installs so that a second install only rebuilds what changed); an existing build keeps its own
settings (the test script reuses the "python" preset's build this way).
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def library_version() -> str:
    """The library's version, from its version constant (e.g. "1.0.0-beta3")."""
    text = (ROOT / "VexaTokenKit" / "VexaTokenKitVersion.cpp").read_text()
    match = re.search(r"PROJECT:VexaTokenKit-([^\s\\\"]+)", text)
    if not match:
        sys.exit("setup.py: no version in VexaTokenKit/VexaTokenKitVersion.cpp")
    return match.group(1)


def cached_python(build: Path) -> str:
    """The real path of the interpreter an existing build was configured for, or ""."""
    cache = build / "CMakeCache.txt"
    match = re.search(r"^Python_EXECUTABLE:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
    return os.path.realpath(match.group(1)) if match else ""


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        if not (ROOT / "CMakeLists.txt").exists():
            sys.exit("setup.py: build from the repository (pip install ./python), the library's sources sit beside python/")
        if shutil.which("cmake") is None:
            sys.exit("setup.py: cmake is needed (Debian: apt-get install cmake g++ libssl-dev pybind11-dev python3-dev)")
        build = Path(os.environ.get("VEXA_BUILD_DIR", ROOT / "build" / "python-package")).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DVEXA_BUILD_PYTHON=ON"]
        if cached_python(build) != os.path.realpath(sys.executable):  # a venv's python is its base interpreter
            configure.append(f"-DPython_EXECUTABLE={sys.executable}")
        if not (build / "CMakeCache.txt").exists():  # a new build: only what the module needs
            configure += ["-DCMAKE_BUILD_TYPE=Release", "-DVEXA_BUILD_TESTS=OFF", "-DVEXA_BUILD_TOOL=OFF",
                          "-DVEXA_BUILD_EXAMPLES=OFF", "-DVEXA_UNITY=ON"]
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
        try:
            import pybind11
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass  # CMake looks for pybind11-dev's configuration itself
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "vexatokenkit_python", "--parallel", str(os.cpu_count() or 2)], check=True)
        built = next((build / "python" / "vexatokenkit").glob("_vexatokenkit*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=library_version(),
    ext_modules=[Extension("vexatokenkit._vexatokenkit", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
