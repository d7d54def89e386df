#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the service's own code
# (display/, service/, install/), every finding an error. clang-tidy reads the
# compile commands of a host build made with clang, configured here in its
# own build directory (nothing is compiled). Ends with one summary line and
# exits non-zero on any finding.
#   ANALYSIS_BUILD_DIR  where to configure (default build/analysis)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ANALYSIS_BUILD_DIR:-build/analysis}
jobs=${JOBS:-2}

tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DQUORVALE_TESTS=OFF -DQUORVALE_FUZZ=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# Only the product's own files: the stand-in and the tests are not held to
# these checks. Headers are checked through the files that include them.
files=$(ls display/*.cpp service/*.cpp install/*.cpp)
count=$(echo "$files" | wc -l)

status=0
tidy_log="$build/clang-tidy.log"
if ! echo "$files" | xargs -P "$jobs" -n 1 "$tidy" -p "$build" --quiet >"$tidy_log" 2>&1; then
    status=1
fi
tidy_findings=$(grep -cE ': (warning|error): ' "$tidy_log" || true)
grep -E ': (warning|error): ' "$tidy_log" || true

# The host configuration only: the Windows one is the real <windows.h>.
cppcheck_log="$build/cppcheck.log"
# shellcheck disable=SC2086
if ! cppcheck --std=c++20 --language=c++ -I . -U_WIN32 \
        --enable=warning,style,performance,portability --inline-suppr --suppress=missingIncludeSystem \
        --error-exitcode=1 -q --template='{file}:{line}: {severity}: {message} [{id}]' $files \
        >"$cppcheck_log" 2>&1; then
    status=1
fi
cppcheck_findings=$(grep -cE ':[0-9]+: ' "$cppcheck_log" || true)
cat "$cppcheck_log"

if [ "$status" -eq 0 ] && [ "$tidy_findings" -eq 0 ] && [ "$cppcheck_findings" -eq 0 ]; then
    echo "static analysis: PASSED ($count product files; clang-tidy 0 findings, cppcheck 0 findings)"
else
    if [ "$tidy_findings" -eq 0 ] && [ "$cppcheck_findings" -eq 0 ]; then
        tail -20 "$tidy_log" "$cppcheck_log"
    fi
    echo "static analysis: FAILED ($count product files; clang-tidy $tidy_findings findings, cppcheck $cppcheck_findings findings)"
    exit 1
fi
