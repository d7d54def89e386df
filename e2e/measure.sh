#!/usr/bin/env bash
# Figures for Quorvale.exe under Wine. Prints them; asserts nothing.
#
#   e2e/measure.sh [WINDOWS_BUILD_DIR]     (default: build/windows)
#
#   - size of the program file and the DLLs it imports (objdump -p)
#   - CPU time the running service's process uses while idle, over 10 s,
#     read from /proc for the Linux process that Wine runs it in
#   - start latency, StartService to SERVICE_RUNNING, beside the same for a
#     bare service (e2e/minimal_service) as a yardstick for Wine's own cost
set -u

E2E_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine_prefix.sh
. "$E2E_HERE/wine_prefix.sh"

BUILD="${1:-$E2E_REPO/build/windows}"
mkdir -p "$BUILD" && BUILD="$(cd "$BUILD" && pwd)" || exit 1
IDLE_SECONDS="${IDLE_SECONDS:-10}"
STARTS="${STARTS:-5}"

e2e_setup "$BUILD" measure-prefix || { echo "setup failed"; exit 1; }
trap 'e2e_teardown' EXIT
EXE="$BUILD/Quorvale.exe"
[ -f "$EXE" ] || { echo "no $EXE"; exit 1; }

echo "== Program file"
echo "size: $(stat -c %s "$EXE") bytes ($EXE)"
echo "imports: $(x86_64-w64-mingw32-objdump -p "$EXE" | awk '/DLL Name:/ {print $3}' | paste -sd ' ')"
echo "minimal_service.exe size: $(stat -c %s "$E2E_BIN/minimal_service.exe") bytes, imports:" \
    "$(x86_64-w64-mingw32-objdump -p "$E2E_BIN/minimal_service.exe" | awk '/DLL Name:/ {print $3}' | paste -sd ' ')"

dir="$(e2e_unix_path "$E2E_WIN_PRODUCT_DIR")"
mkdir -p "$dir" && cp "$EXE" "$dir/"
e2e_wine "$E2E_WIN_PRODUCT" -install >/dev/null 2>&1
e2e_wine sc create MinimalService binPath= "$E2E_WIN_E2E"'\minimal_service.exe' >/dev/null 2>&1

field() { [[ " $2 " =~ \ $1=([^ ]*)\  ]] && printf '%s' "${BASH_REMATCH[1]}"; }

# One start: StartService, poll every millisecond until RUNNING, then stop.
start_once() { # service -> running_ms
    local out
    out="$(e2e_tool start "$1" 10000 2>/dev/null | tr -d '\r')"
    field running_ms "$out"
    e2e_wine sc stop "$1" >/dev/null 2>&1
    e2e_tool wait "$1" 1 10000 >/dev/null 2>&1
}

latency() { # service
    local i v all=()
    for ((i = 0; i < STARTS; i++)); do
        e2e_tool set active=1 target=3 reply22=4 >/dev/null 2>&1
        v="$(start_once "$1")"
        all+=("${v:-?}")
    done
    printf '%s: %s ms (median %s ms over %d starts)\n' "$1" "${all[*]}" \
        "$(printf '%s\n' "${all[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')" "$STARTS"
}

echo
echo "== Start latency, StartService -> SERVICE_RUNNING (driver: active 1, target 3)"
latency QuorvaleService
latency MinimalService

# The Linux process in which Wine runs the service: its command line names
# the program and its environment names this prefix.
service_linux_pid() {
    local p
    for p in /proc/[0-9]*; do
        tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -q 'Quorvale\.exe' || continue
        tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
        basename "$p"
        return 0
    done
    return 1
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

echo
echo "== Idle CPU of the running service over ${IDLE_SECONDS} s"
e2e_tool set active=1 target=3 reply22=4 >/dev/null 2>&1
e2e_wine sc start QuorvaleService >/dev/null 2>&1
e2e_tool wait QuorvaleService 4 10000 >/dev/null 2>&1
sleep 1
if pid="$(service_linux_pid)"; then
    hz="$(getconf CLK_TCK)"
    t0="$(cpu_ticks "$pid")"
    sleep "$IDLE_SECONDS"
    t1="$(cpu_ticks "$pid")"
    echo "linux pid $pid: $((t1 - t0)) ticks of 1/$hz s user+system in ${IDLE_SECONDS} s" \
        "($(awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$IDLE_SECONDS" 'BEGIN {printf "%.1f ms, %.3f%%", d*1000/hz, d*100/(hz*s)}'))"
    echo "threads: $(awk '/^Threads:/ {print $2}' "/proc/$pid/status"), resident: $(awk '/^VmRSS:/ {print $2, $3}' "/proc/$pid/status")"
else
    echo "service process not found"
fi
e2e_wine sc stop QuorvaleService >/dev/null 2>&1
e2e_tool wait QuorvaleService 1 10000 >/dev/null 2>&1

echo
echo "== Not measured: resume from suspend (ControlService refuses power events under Wine as on Windows)"
