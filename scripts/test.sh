#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: installs what is missing,
# builds every preset, runs CTest in each host preset and ends with CTest's
# summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_packages.sh cmake ninja-build g++ libgtest-dev mingw-w64 wine wine64

jobs=2
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

status=0
for preset in host-asan host-tsan host; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" || status=1
done
exit "$status"
