#!/usr/bin/env bash
# Fails when a build directory took oneTBB or nlohmann/json from anywhere but the project's
# virtualenv .venv. A machine that still holds a system copy (Debian's libtbb-dev, say) would
# otherwise build and pass here while a new machine fails to configure at all.
#   usage: scripts/check_build_deps.sh BUILD_DIR...
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$(cd .venv && pwd -P)"

failed=0
fail() { echo "check_build_deps: $1: $2" >&2; failed=1; bad=1; }
inside_venv() { [[ -n "$1" && "$(realpath -m "$1")/" == "$venv/"* ]]; }

for dir in "$@"; do
  bad=0
  cache="$dir/CMakeCache.txt"
  if [[ ! -f "$cache" ]]; then
    fail "$dir" "not configured (no CMakeCache.txt)"
    continue
  fi
  tbb=$(sed -n 's/^TBB_DIR:[A-Z]*=//p' "$cache")
  json=$(sed -n 's/^QOREL_JSON_FROM:[A-Z]*=//p' "$cache")
  inside_venv "$tbb" || fail "$dir" "oneTBB from '${tbb:-nowhere}', not from $venv"
  inside_venv "$json" || fail "$dir" "nlohmann/json from '${json:-nowhere}', not from $venv"
  # The headers the compiler actually read, where the generator records them.
  if [[ -f "$dir/build.ninja" ]] && command -v ninja >/dev/null; then
    outside=$(ninja -C "$dir" -t deps 2>/dev/null | grep -E '/(oneapi/tbb|tbb|nlohmann)/' |
      sed 's/^ *//' | grep -v "^$venv/" | sort -u | head -3 || true)
    [[ -z "$outside" ]] || fail "$dir" "compiled with headers from outside .venv: $outside"
  fi
  if ((!bad)); then echo "check_build_deps: $dir takes oneTBB and nlohmann/json from .venv"; fi
done
exit "$failed"
