# setuptools' half of pyproject.toml: the extension morvex_tex._morvex_tex is
# built by the project's CMake (python/CMakeLists.txt) with the library linked
# in (MORVEX_PYTHON_STATIC), so that the installed module needs nothing beside
# it but NumPy; the Python half is python/morvex_tex/. Everything is built
# beneath build-pip/, away from the source tree and the usual build/.
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))
base = os.path.join(here, "build-pip")


def version():
    with open(os.path.join(here, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(morvex_tex_extractor VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(base, "cmake")
        subprocess.run(["cmake", "-S", here, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                        "-DMORVEX_PYTHON=ON", "-DMORVEX_PYTHON_STATIC=ON", f"-DPython3_EXECUTABLE={sys.executable}"],
                       check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", build, "--target", "morvex_python", "-j", jobs], check=True)
        built = os.path.join(build, "python", "morvex_tex", os.path.basename(self.get_ext_filename(ext.name)))
        os.makedirs(os.path.dirname(self.get_ext_fullpath(ext.name)), exist_ok=True)
        shutil.copyfile(built, self.get_ext_fullpath(ext.name))


os.makedirs(base, exist_ok=True)
setup(
    version=version(),
    packages=["morvex_tex"],
    package_dir={"": "python"},
    package_data={"morvex_tex": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension("morvex_tex._morvex_tex", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": base}, "egg_info": {"egg_base": base}},
)
