#!/usr/bin/env bash
# The full soak: 100,000 resumes and 10,000 interrogations against the
# stand-in in the plain host build, and a bounded part (20,000 and 2,000)
# under ThreadSanitizer. Uses the reliability tests of the host and host-tsan
# builds (builds them if missing). Prints events per second and the counts.
#   SOAK_RESUMES, SOAK_INTERROGATIONS        full counts (plain build)
#   SOAK_TSAN_RESUMES, SOAK_TSAN_INTERROGATIONS  bounded counts (TSan build)
set -euo pipefail
cd "$(dirname "$0")/.."
plain=${SOAK_PLAIN_BUILD:-build/host}
tsan=${SOAK_TSAN_BUILD:-build/host-tsan}
jobs=${JOBS:-2}

for dir in "$plain" "$tsan"; do
    if [ ! -x "$dir/tests/reliability_tests" ]; then
        cmake --build "$dir" --target reliability_tests -j "$jobs" >/dev/null
    fi
done

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
run() {
    local label=$1 dir=$2 resumes=$3 interrogations=$4
    echo "== soak, $label: $resumes resumes, $interrogations interrogations"
    if ! QUORVALE_SOAK_RESUMES=$resumes QUORVALE_SOAK_INTERROGATIONS=$interrogations \
            "$dir/tests/reliability_tests" --gtest_filter='Soak.*' --gtest_brief=1 >"$dir/soak.log" 2>&1; then
        status=1
        tail -30 "$dir/soak.log"
    fi
    grep -E '^soak: ' "$dir/soak.log" || true
    grep -oE 'handles open while running [^,]*, heap blocks [a-z0-9]*' "$dir/soak.log" | sort | uniq -c |
        sed 's/^ */  processes: /' || true
}
run plain "$plain" "${SOAK_RESUMES:-100000}" "${SOAK_INTERROGATIONS:-10000}"
run tsan "$tsan" "${SOAK_TSAN_RESUMES:-20000}" "${SOAK_TSAN_INTERROGATIONS:-2000}"
if [ "$status" -eq 0 ]; then
    echo "soak: PASSED"
else
    echo "soak: FAILED"
fi
exit "$status"
