#!/usr/bin/env bash
# Installs everything the tests need on a fresh Debian machine with Python 3,
# builds the package once, and runs:
#   1. the C++ core tests (GoogleTest),
#   2. the Python tests against NumPy 2.x,
#   3. the Python tests against NumPy 1.x (same wheel: built against NumPy 2
#      headers with an explicit target version).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${ZANDREL_TEST_DIR:-$root/build-test}"
python="${PYTHON:-python3}"
mkdir -p "$work"

apt_install() {
  local sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@" >/dev/null
}

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  apt_install libgtest-dev cmake g++ ninja-build
fi

echo "== building the wheel"
"$python" -m venv "$work/venv-build"
"$work/venv-build/bin/pip" install -q --upgrade pip
rm -rf "$work/dist"
"$work/venv-build/bin/pip" wheel -q --no-deps -w "$work/dist" "$root"

echo "== C++ core tests"
"$work/venv-build/bin/pip" install -q cmake ninja
PATH="$work/venv-build/bin:$PATH" cmake -S "$root" -B "$work/cpp" -G Ninja -DZANDREL_PYTHON=OFF -DZANDREL_TESTS=ON >/dev/null
PATH="$work/venv-build/bin:$PATH" cmake --build "$work/cpp"
"$work/cpp/zandrel_cpp_tests" --gtest_brief=1

status=0
for numpy_spec in "numpy>=2" "numpy<2"; do
  env_dir="$work/venv-$( [ "$numpy_spec" = "numpy>=2" ] && echo np2 || echo np1 )"
  echo "== Python tests with $numpy_spec"
  "$python" -m venv "$env_dir"
  "$env_dir/bin/pip" install -q --upgrade pip
  wheel="$(ls "$work"/dist/*.whl)"
  # The test extra: pytest, scipy, gmsh, h5py, dask (meshio comes with the wheel).
  "$env_dir/bin/pip" install -q "$numpy_spec" "${wheel}[test]"
  "$env_dir/bin/pip" install -q --force-reinstall --no-deps "$wheel"
  # The gmsh wheel links X11/OpenGL libraries that a bare Debian lacks.
  if ! "$env_dir/bin/python" -c "import gmsh" >/dev/null 2>&1; then
    apt_install libglu1-mesa libgl1 libxrender1 libxcursor1 libxfixes3 libxext6 libxft2 libfontconfig1 \
      libxinerama1 libx11-6 libgomp1
  fi
  "$env_dir/bin/python" -c "import numpy; print('numpy', numpy.__version__)"
  (cd "$work" && "$env_dir/bin/python" -m pytest -q -p no:cacheprovider "$root/tests") || status=1
done
exit $status
