#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: installs what is missing,
# builds every preset, runs CTest in each host preset, static analysis, the
# bounded fuzzing and the soak, and ends with CTest's summary line of the
# host preset (which includes the Wine suite).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_packages.sh cmake ninja-build g++ libgtest-dev mingw-w64 wine wine64 \
    clang clang-tidy cppcheck libclang-rt-14-dev

jobs=2
status=0
run() {
    echo "== $*"
    "$@" || status=1
}

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

for preset in host-asan host-tsan host; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

run ctest --preset host-asan -j "$jobs"
run ctest --preset host-tsan -j "$jobs"
run bash scripts/static_analysis.sh
run bash scripts/fuzz.sh
run bash scripts/soak.sh
run ctest --preset host -j "$jobs"
exit "$status"
