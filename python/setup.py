"""Builds the package with the project's CMake (the python preset) and
installs what it lays out in build/python/python/kormald: the native part,
the image module and its plug-ins, and the Python files.

    pip install --no-build-isolation ./python
"""
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r"project\(kormald VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        subprocess.check_call(["cmake", "--preset", "python", f"-DPython3_EXECUTABLE={sys.executable}"], cwd=ROOT)
        subprocess.check_call(["cmake", "--build", "--preset", "python", "--target", "_kormald"], cwd=ROOT)
        built = ROOT / "build" / "python" / "python" / "kormald"
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).parent
        target.mkdir(parents=True, exist_ok=True)
        for file in built.iterdir():
            if file.suffix == ".so":
                shutil.copy2(file, target / file.name)


setup(
    name="kormald",
    version=VERSION,
    description="Windows 9x/Me registries (hives, .reg exports, disk and VM images) for Python",
    packages=["kormald"],
    package_data={"kormald": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension("kormald._kormald", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
)
