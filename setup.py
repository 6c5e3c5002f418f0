"""Builds the tagcut Python module's native part with CMake.

The extension is CMake's _tagcut target: the module's binding linked from the
same objects as the program and the C++ library, with the same flags, so
there is no second list of sources here. The version is the library's (the
first release heading of CHANGELOG.md, as CMake reads it). The Python that
runs this build is the one CMake builds for.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def library_version():
    heading = re.compile(r"^## (\d+\.\d+\.\d+) \(\d{4}-\d{2}-\d{2}\)$")
    for line in (ROOT / "CHANGELOG.md").read_text(encoding="utf-8").splitlines():
        match = heading.match(line)
        if match:
            return match.group(1)
    raise RuntimeError("CHANGELOG.md has no release heading")


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        package_dir = build_dir / "package"
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
             "-DTAGCUT_BUILD_PYTHON=ON", "-DTAGCUT_BUILD_TESTS=OFF", "-DTAGCUT_INSTALL=OFF",
             f"-DPython_EXECUTABLE={sys.executable}", f"-DTAGCUT_PYTHON_PACKAGE_DIR={package_dir}"],
            check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_tagcut", "--parallel",
                        str(os.cpu_count() or 1)], check=True)
        built = next(package_dir.glob("_tagcut*" + os.path.splitext(self.get_ext_filename("x"))[1]))
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


setup(
    version=library_version(),
    ext_modules=[Extension("tagcut._tagcut", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-python"}},
)
