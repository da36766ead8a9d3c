#!/usr/bin/env bash
# Builds qorel for development into the project's virtualenv .venv, which it creates when
# missing. Needs python3 (with venv) and a C++20 compiler; everything else, the build tools
# and the C++ libraries included, comes from the package registry, and nothing is installed
# outside .venv. With QOREL_BUILD_TESTS=ON the engine's C++ tests are built as well (they need
# GoogleTest installed, which scripts/test.sh sees to).
#
# Re-running it is cheap: .venv and the build directory build/release are kept, and only what
# changed is rebuilt.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ! -x .venv/bin/python ]]; then
  echo "setup: creating the virtualenv .venv"
  python3 -m venv .venv
fi
py=.venv/bin/python
pip_install=("$py" -m pip install --quiet --disable-pip-version-check)

# The package is built without pip's build isolation, so that build/release keeps the same
# tool and library paths from one run to the next and rebuilds incrementally. The build
# requirements therefore go into .venv: those pyproject.toml lists, plus cmake and ninja.
"$py" -c "import tomllib" 2>/dev/null || "${pip_install[@]}" tomli
mapfile -t build_requires < <("$py" - <<'PY'
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))
PY
)
"${pip_install[@]}" "${build_requires[@]}" cmake ninja

# Warnings are errors here, unlike in a user's `pip install`.
"${pip_install[@]}" --no-build-isolation \
  -Cbuild-dir=build/release \
  -Ccmake.define.QOREL_WERROR=ON \
  -Ccmake.define.QOREL_BUILD_TESTS="${QOREL_BUILD_TESTS:-OFF}" \
  ".[test,langchain,cluster,llama-index]"
