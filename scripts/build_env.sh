# Sourced by the checking scripts from the repository root: `root`, the Python that configures
# their builds (the project's .venv when there is one: it has pytest, numpy, nanobind and the
# registry's oneTBB and nlohmann/json), the number of build jobs, and ninja when it is there.
root="$PWD"
if [[ -z "${PYTHON:-}" ]]; then
  PYTHON="$(command -v python3)"
  [[ -x .venv/bin/python ]] && PYTHON="$root/.venv/bin/python"
fi
JOBS="${JOBS:-2}"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
