#!/usr/bin/env bash
# Builds the libFuzzer targets (preset host-fuzz: clang, ASan, UBSan) and runs
# each for a bounded time from its checked-in seeds, which are not written to:
# new inputs go to a scratch corpus. Prints executions and coverage per
# target and a closing line; a crash, a leak or a failed check fails the run
# and leaves the input under build/host-fuzz/findings/<target>/.
#   FUZZ_SECONDS  time per target (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
jobs=${JOBS:-2}
build=build/host-fuzz

cmake --preset host-fuzz >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
cmake --build --preset host-fuzz -j "$jobs" --target "${targets[@]}" >/dev/null

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
total=0
for target in "${targets[@]}"; do
    seeds=fuzz/corpus/${target%_fuzz}
    scratch=$build/corpus/$target
    findings=$build/findings/$target
    rm -rf "$scratch"
    mkdir -p "$scratch" "$findings" "$seeds"
    log=$build/$target.log
    # -detect_leaks=0: the stand-in keeps its records of every call, so each
    # input ends with more blocks than it began with and libFuzzer would run
    # a leak scan after every one. The targets check the service's own heap,
    # text blocks and handles themselves, input by input.
    if "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
            -detect_leaks=0 \
            -artifact_prefix="$findings/" "$scratch" "$seeds" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        failed=1
        grep -E 'ERROR|FAIL|SUMMARY|==[0-9]+==|Test unit written' "$log" | head -20 || true
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    done_line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
    cov=$(echo "$done_line" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$done_line" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$done_line" | sed -n 's/.*corp: \([0-9]*\).*/\1/p')
    total=$((total + ${runs:-0}))
    echo "fuzz $target: $result, ${runs:-0} executions in ${seconds}s, coverage ${cov:-?} edges, ${ft:-?} features, corpus ${corp:-?}"
done
if [ "$failed" -eq 0 ]; then
    echo "fuzz: PASSED (${#targets[@]} targets, $total executions)"
else
    echo "fuzz: FAILED (inputs under $build/findings)"
    exit 1
fi
