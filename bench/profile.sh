#!/usr/bin/env bash
# Per-event (or per-call) profile by function under callgrind, with symbols.
#
# The installed modules are stripped; this builds unstripped copies with the same optimisation
# flags into build/profile, puts them in place of the installed ones for the run, and restores them.
#   bench/profile.sh [VARIANT] [N]         a standard-turn variant (default: ours), top N functions (60)
#   bench/profile.sh --path PATH [N]       a path of bench/instructions.py ("heartbeat status", ...)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
path=
if [ "${1:-}" = --path ]; then path=$2; shift 2; fi
cmake -S . -B build/profile -G Ninja -DCMAKE_BUILD_TYPE=Profile \
  "-DCMAKE_CXX_FLAGS_PROFILE=-O3 -DNDEBUG -g -fno-stack-protector" -DPython_EXECUTABLE="$PY" >/dev/null
ninja -C build/profile ws heartbeat >/dev/null
WS=$($PY -c 'import tavrin.gateway.ws as m; print(m.__file__)')
HB=$($PY -c 'import tavrin.core.heartbeat as m; print(m.__file__)')
cp "$WS" "$WS.stripped"
cp "$HB" "$HB.stripped"
trap 'mv "$WS.stripped" "$WS"; mv "$HB.stripped" "$HB"' EXIT
cp build/profile/ws.cpython-*.so "$WS"
cp build/profile/heartbeat.cpython-*.so "$HB"
OUT=build/profile/callgrind
mkdir -p "$OUT"
if [ -n "$path" ]; then
  n=$($PY -c 'import sys; sys.path.insert(0, "bench"); import instructions; print(instructions.PATHS[sys.argv[1]])' "$path")
  $PY bench/instructions.py --keep "$OUT" --only "$path"
  PROFILE_EVENTS=$n $PY bench/profile_diff.py "$OUT" "$path" "${1:-60}"
else
  $PY bench/callgrind.py --keep "$OUT" --variant "${1:-ours}"
  $PY bench/profile_diff.py "$OUT" "${1:-ours}" "${2:-60}"
fi
