#!/usr/bin/env bash
# Per-event profile of the native standard turn under callgrind, with symbols.
#
# The installed module is stripped; this builds an unstripped copy with the same optimisation
# flags into build/profile, puts it in place of the installed one for the run, and restores it.
#   bench/profile.sh [VARIANT] [N]     (default: ours, top 60 functions)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
SO=$($PY -c 'import tavrin.gateway.ws as m; print(m.__file__)')
cmake -S . -B build/profile -G Ninja -DCMAKE_BUILD_TYPE=Profile \
  "-DCMAKE_CXX_FLAGS_PROFILE=-O3 -DNDEBUG -g -fno-stack-protector" -DPython_EXECUTABLE="$PY" >/dev/null
ninja -C build/profile ws >/dev/null
cp "$SO" "$SO.stripped"
trap 'mv "$SO.stripped" "$SO"' EXIT
cp build/profile/ws.cpython-*.so "$SO"
OUT=build/profile/callgrind
mkdir -p "$OUT"
$PY bench/callgrind.py --keep "$OUT" --variant "${1:-ours}"
$PY bench/profile_diff.py "$OUT" "${1:-ours}" "${2:-60}"
