#!/usr/bin/env bash
# End-to-end suite: Quorvale.exe under Wine against the stand-in display
# control driver (tvalsim.sys).
#
#   e2e/run_e2e.sh [WINDOWS_BUILD_DIR]     (default: build/windows)
#
# Prints one line per scenario, "PASS name" or "FAIL name: why", and ends
# with "N passed, M failed"; exits non-zero when anything failed. Progress
# and diagnostics go to standard error.
#
# Not covered here: power events. ControlService refuses code 13
# (SERVICE_CONTROL_POWEREVENT) with ERROR_INVALID_PARAMETER under Wine as on
# Windows, so the resume path is left to the host tests.
set -u

E2E_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine_prefix.sh
. "$E2E_HERE/wine_prefix.sh"

BUILD="${1:-$E2E_REPO/build/windows}"
mkdir -p "$BUILD" && BUILD="$(cd "$BUILD" && pwd)" || {
    echo "FAIL setup: no build folder ${1:-$E2E_REPO/build/windows}"
    echo "0 passed, 1 failed"
    exit 1
}

PASSED=0
FAILED=0
pass() { echo "PASS $1"; PASSED=$((PASSED + 1)); }
fail() { echo "FAIL $1: $2"; FAILED=$((FAILED + 1)); }
finish() {
    e2e_teardown
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
    exit $?
}

SERVICE=QuorvaleService
NL=$'\n'

# Output of a command exactly, trailing line feeds included, with the CRs
# that Wine's text-mode console output puts before each LF removed.
capture() {
    local out
    out="$("$@" 2>/dev/null; echo x)"
    out="${out%x}"
    printf '%s' "${out//$'\r'/}"
}

# The same into the variable named first: a command substitution around
# capture would drop the trailing line feeds that the comparisons check.
capture_to() {
    local _var="$1" _cap
    shift
    _cap="$("$@" 2>/dev/null; echo x)"
    _cap="${_cap%x}"
    printf -v "$_var" '%s' "${_cap//$'\r'/}"
}

quorvale() { e2e_wine "$E2E_WIN_PRODUCT" "$@"; }

# A printable form of a text for failure lines.
show() { printf '%q' "$1"; }

expect_equal() { # name expected actual
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected $(show "$2"), got $(show "$3")"; fi
}

expect_match() { # name extended-regex actual (the regex sees LFs as spaces)
    local flat="${3//$'\n'/ }"
    if [[ "$flat" =~ $2 ]]; then pass "$1"; else fail "$1" "expected /$2/, got $(show "$3")"; fi
}

field() { # key line -> value of key=value
    local k="$1" line="$2"
    [[ " $line " =~ \ $k=([^ ]*)\  ]] && printf '%s' "${BASH_REMATCH[1]}"
}

service_state() { field state "$(capture e2e_tool status "$SERVICE")"; }

wait_state() { # state timeout_ms
    e2e_tool wait "$SERVICE" "$1" "$2" 2>/dev/null | tr -d '\r'
}

stop_service() {
    local st
    st="$(service_state)"
    if [ -n "$st" ] && [ "$st" != 1 ]; then
        e2e_wine sc stop "$SERVICE" >/dev/null 2>&1
        wait_state 1 10000 >/dev/null
    fi
}

# ---- the requests the service is expected to send ----------------------

REQ_READ="TVALD open share=0x0
TVALD ioctl 0x222880 in=24 out=24 0000fe00 0000c000 00000002 00000000 00000000 00000000
TVALD close"
REQ_QUERY="TVALG open share=0x1
TVALG ioctl 0x222940 in=32 out=36 00000000 00000008 42696541 53444442 00000000 00000000 00000000 00000000
TVALG close"
req_write() {
    printf 'TVALD open share=0x0\nTVALD ioctl 0x222880 in=24 out=24 0000ff00 0000c000 00000002 %08x 00000000 00000000\nTVALD close' "$1"
}

# The driver record without its closing count line; "(none)" when empty.
driver_requests() {
    local rec
    rec="$(capture e2e_tool record)"
    rec="$(printf '%s' "$rec" | grep -v '^end count=')"
    printf '%s' "${rec:-(none)}"
}

expected_requests() { # r | rq | rqw:N | none
    case "$1" in
        none) printf '(none)' ;;
        r) printf '%s' "$REQ_READ" ;;
        rq) printf '%s\n%s' "$REQ_READ" "$REQ_QUERY" ;;
        rqw:*) printf '%s\n%s\n%s' "$REQ_READ" "$REQ_QUERY" "$(req_write "${1#rqw:}")" ;;
    esac
}

# Resets the driver to a known state and applies a row's settings.
driver_set() {
    e2e_tool set active=0 target=0 reply20=0 reply22=0 dabsent=0 gabsent=0 dfail=0 gfail=0 \
        >/dev/null 2>&1 || return 1
    # shellcheck disable=SC2086
    e2e_tool set $1 >/dev/null 2>&1 || return 1
    e2e_tool clear >/dev/null 2>&1
}

driver_active() {
    # Presence is restored first so that the tool can read the state.
    field active "$(capture e2e_tool state)"
}

# ---- scenarios: the stand-in driver, through the tool alone --------------

# name | driver settings | device, code, output length, request words | expected answer | expected record
DRIVER_ROWS=(
    "driver read returns active selection|active=2|TVALD 0x222880 24 0xfe00 0xc000 2 7 0 0|open=ok result=1 error=0 returned=24 out= 0000fe00 0000c000 00000002 00000002 00000000 00000000|TVALD open share=0x0${NL}TVALD ioctl 0x222880 in=24 out=24 0000fe00 0000c000 00000002 00000007 00000000 00000000${NL}TVALD close"
    "driver write sets active selection|active=1|TVALD 0x222880 24 0xff00 0xc000 2 16 0 0|open=ok result=1 error=0 returned=24 out= 0000ff00 0000c000 00000002 00000010 00000000 00000000|TVALD open share=0x0${NL}TVALD ioctl 0x222880 in=24 out=24 0000ff00 0000c000 00000002 00000010 00000000 00000000${NL}TVALD close"
    "driver query reply fields|target=5 reply20=0x1234 reply22=4|TVALG 0x222940 36 0 8 0x42696541 0x53444442 0 0 0 0|open=ok result=1 error=0 returned=36 out= 00000000 00000000 00000000 00000000 00000000 00041234 00000005 00000000 00000000|TVALG open share=0x0${NL}TVALG ioctl 0x222940 in=32 out=36 00000000 00000008 42696541 53444442 00000000 00000000 00000000 00000000${NL}TVALG close"
    "driver TVALD absent|dabsent=1|TVALD 0x222880 24 0xfe00 0xc000 2 0 0 0|open=fail error=2|(none)"
    "driver TVALG absent|gabsent=1|TVALG 0x222940 36 0 8 0 0 0 0 0 0|open=fail error=2|(none)"
    "driver TVALD failing request|active=4 dfail=1|TVALD 0x222880 24 0xfe00 0xc000 2 0 0 0|open=ok result=0 error=31 returned=0 out=|TVALD open share=0x0${NL}TVALD ioctl 0x222880 in=24 out=24 0000fe00 0000c000 00000002 00000000 00000000 00000000${NL}TVALD close"
    "driver TVALG failing request|target=3 reply22=4 gfail=1|TVALG 0x222940 36 0 8 0 0 0 0 0 0|open=ok result=0 error=31 returned=0 out=|TVALG open share=0x0${NL}TVALG ioctl 0x222940 in=32 out=36 00000000 00000008 00000000 00000000 00000000 00000000 00000000 00000000${NL}TVALG close"
    "driver unknown code rejected|active=1|TVALD 0x222884 24 0xfe00 0xc000 2 0 0 0|open=ok result=0 error=1 returned=0 out=|TVALD open share=0x0${NL}TVALD ioctl 0x222884 in=24 out=24 0000fe00 0000c000 00000002 00000000 00000000 00000000${NL}TVALD close"
)

run_driver_rows() {
    local row name settings send answer record got_answer got_record
    for row in "${DRIVER_ROWS[@]}"; do
        IFS='|' read -r name settings send answer record <<<"$row"
        record="${row##*|}"
        if ! driver_set "$settings"; then
            fail "$name" "could not set driver state"
            continue
        fi
        # shellcheck disable=SC2086
        got_answer="$(capture e2e_tool send $send)"
        got_answer="${got_answer%$'\n'}"
        e2e_tool set dabsent=0 gabsent=0 >/dev/null 2>&1
        got_record="$(driver_requests)"
        if [ "$got_answer" != "$answer" ]; then
            fail "$name" "answer $(show "$got_answer"), expected $(show "$answer")"
        elif [ "$got_record" != "$record" ]; then
            fail "$name" "record $(show "$got_record"), expected $(show "$record")"
        else
            pass "$name"
        fi
    done
    # A write followed by a read returns what was written.
    driver_set "active=1"
    e2e_tool send TVALD 0x222880 24 0xff00 0xc000 2 8 0 0 >/dev/null 2>&1
    expect_equal "driver read after write" "00000008" \
        "$(capture e2e_tool send TVALD 0x222880 24 0xfe00 0xc000 2 0 0 0 | awk '{print $9}')"
}

# ---- scenarios: Quorvale.exe --------------------------------------------

install_product() {
    local dir
    dir="$(e2e_unix_path "$E2E_WIN_PRODUCT_DIR")"
    mkdir -p "$dir" && cp "$BUILD/Quorvale.exe" "$dir/"
}

registry_value() { # name -> value of HKLM\...\QuorvaleService\name
    capture e2e_wine reg query 'HKLM\System\CurrentControlSet\Services\'"$SERVICE" /v "$1" |
        awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^  */, ""); print }'
}

scenario_install() {
    local out
    capture_to out quorvale -install
    expect_equal "install message" "Quorvale Service installed.$NL" "$out"

    local name want got bad=""
    # value name | expected registry text (reg.exe prints DWORDs in hex)
    local rows=(
        "DisplayName|Quorvale Service"
        "Type|0x10"
        "Start|0x2"
        "ErrorControl|0x1"
        "ObjectName|LocalSystem"
        "ImagePath|\"$E2E_WIN_PRODUCT\""
    )
    for row in "${rows[@]}"; do
        name="${row%%|*}"
        want="${row#*|}"
        got="$(registry_value "$name")"
        [ "$got" = "$want" ] || bad="$bad $name=$(show "$got") (expected $(show "$want"))"
    done
    if [ -z "$bad" ]; then pass "install registration"; else fail "install registration" "$bad"; fi

    capture_to out quorvale -install
    expect_match "install again" '^CreateService failed - [^ ].* \(0x431\) $' "$out"
}

# name | driver settings | expected requests | active selection afterwards
START_ROWS=(
    "start restores target 3 over active 1|active=1 target=3 reply22=4|rqw:4|4"
    "start target 5 with reply22 at its limit 4|active=2 target=5 reply22=4|rqw:16|16"
    "start target equal to active 2/2|active=2 target=2|rq|2"
    "start target index 0|active=1 target=0|rq|1"
    "start target index 6|active=1 target=6|rq|1"
    "start reply offset 20 non-zero|active=1 target=3 reply20=1|rq|1"
    "start reply offset 22 is 5|active=1 target=3 reply22=5|rq|1"
    "start TVALG failing request|active=1 target=3 gfail=1|rq|1"
    "start TVALG absent|active=1 target=3 gabsent=1|r|1"
    "start TVALD absent|active=1 target=3 dabsent=1|none|1"
    "start TVALD failing request|active=1 target=3 dfail=1|r|1"
    "start active 3 is no single first or second output|active=3 target=1|r|3"
)

run_start_rows() {
    local row name settings want_req want_active st got active
    for row in "${START_ROWS[@]}"; do
        IFS='|' read -r name settings want_req want_active <<<"$row"
        stop_service
        if ! driver_set "$settings"; then
            fail "$name" "could not set driver state"
            continue
        fi
        e2e_wine sc start "$SERVICE" >/dev/null 2>&1
        st="$(wait_state 4 10000)"
        # Read the record before the tool's own state requests could add to
        # it; the tool talks to TVALCTL only, which is not recorded.
        got="$(driver_requests)"
        e2e_tool set dabsent=0 gabsent=0 dfail=0 gfail=0 >/dev/null 2>&1
        active="$(driver_active)"
        if [ "$(field reached "$st")" != 1 ]; then
            fail "$name" "service not RUNNING: $st"
        elif [ "$got" != "$(expected_requests "$want_req")" ]; then
            fail "$name" "requests $(show "$got"), expected $(show "$(expected_requests "$want_req")")"
        elif [ "$active" != "$want_active" ]; then
            fail "$name" "active selection $active, expected $want_active"
        else
            pass "$name"
        fi
    done
}

scenario_controls() {
    local out
    stop_service
    driver_set "active=1 target=3 reply22=4"
    e2e_wine sc start "$SERVICE" >/dev/null 2>&1
    wait_state 4 10000 >/dev/null
    e2e_tool clear >/dev/null 2>&1

    out="$(capture e2e_tool control "$SERVICE" 4)"
    expect_match "interrogate while running" '^result=1 error=0 state=4 exit=0 .*controls=0x41' "$out"

    # The handler answers an unknown code with ERROR_CALL_NOT_IMPLEMENTED, but
    # Wine 8's service manager does not hand the handler's result back:
    # ControlService succeeds for any code from 128 to 255. What can be seen
    # is that the control reached a live handler and changed nothing.
    out="$(capture e2e_tool control "$SERVICE" 200)"
    expect_match "unknown control 200 leaves service running" \
        '^result=(1 error=0|0 error=120) state=4 exit=0 .*controls=0x41' "$out"

    # Below 128 Wine, like Windows, refuses undefined codes itself.
    out="$(capture e2e_tool control "$SERVICE" 13)"
    expect_match "power event refused by the service manager" '^result=0 error=87 ' "$out"

    expect_equal "controls send no device requests" "(none)" "$(driver_requests)"

    e2e_wine sc stop "$SERVICE" >/dev/null 2>&1
    out="$(wait_state 1 10000)"
    expect_match "sc stop gives STOPPED with exit code 0" '^reached=1 .* state=1 exit=0 ' "$out"
}

scenario_remove() {
    local out
    stop_service
    driver_set "active=1"
    e2e_wine sc start "$SERVICE" >/dev/null 2>&1
    wait_state 4 10000 >/dev/null
    capture_to out quorvale -remove
    expect_match "remove running service" \
        '^Stopping Quorvale Service\.\.* Quorvale Service stopped\. Quorvale Service removed\. $' "$out"
    expect_match "removed service is gone" 'error=OpenService 1060' "$(capture e2e_tool status "$SERVICE")"

    capture quorvale -install >/dev/null
    capture_to out quorvale -remove
    expect_equal "remove stopped service" "Quorvale Service removed.$NL" "$out"

    capture_to out quorvale -remove
    expect_match "remove missing service" '^OpenService failed - [^ ].* \(0x424\) $' "$out"
}

# name | argument | expected output
COMMAND_ROWS=(
    "command /INSTALL in capitals installs|/INSTALL|Quorvale Service installed.$NL"
    "command -Remove in mixed case removes|-Remove|Quorvale Service removed.$NL"
)

USAGE="Quorvale -install          to install the service
Quorvale -remove           to remove the service

StartServiceCtrlDispatcher being called.
This may take several seconds.  Please wait.
"

scenario_commands() {
    local row name arg want out
    for row in "${COMMAND_ROWS[@]}"; do
        IFS='|' read -r name arg want <<<"$row"
        want="${row##*|}"
        capture_to out quorvale "$arg"
        expect_equal "$name" "$want" "$out"
    done
}

# The channel that the other event-log checks read: an error entry written
# with ReportEventA shows as one line per insertion string.
scenario_event_log_channel() {
    local err log
    err="$(mktemp)"
    e2e_tool log QuorvaleE2E "first string" "second string" >/dev/null 2>"$err"
    log="$(grep 'eventlog:ReportEvent' "$err" | sed 's/^[0-9a-f]*://' | tr -d '\r')"
    rm -f "$err"
    expect_equal "event log entries show on standard error" \
        "err:eventlog:ReportEventW L\"first string\"${NL}err:eventlog:ReportEventW L\"second string\"" \
        "$log"
}

scenario_no_argument() {
    local out err log
    err="$(mktemp)"
    out="$(e2e_wine "$E2E_WIN_PRODUCT" 2>"$err"; echo x)"
    out="${out%x}"
    expect_equal "no argument prints the four lines" "$USAGE" "${out//$'\r'/}"
    # Each insertion string of an error entry shows as one line of the
    # eventlog channel; one entry has exactly these two strings.
    log="$(grep 'eventlog:ReportEvent' "$err" | sed 's/^[0-9a-f]*://' | tr -d '\r')"
    expect_equal "no argument logs dispatcher failure 1063" \
        "err:eventlog:ReportEventW L\"QuorvaleService error: 1063\"${NL}err:eventlog:ReportEventW L\"StartServiceCtrlDispatcher failed.\"" \
        "$log"
    rm -f "$err"

    capture_to out quorvale install
    expect_equal "word without switch is no command" "$USAGE" "$out"
}

# ---- run -------------------------------------------------------------------

trap 'e2e_teardown; exit 130' INT TERM
e2e_log "build folder $BUILD"
if ! e2e_setup "$BUILD"; then
    fail "wine prefix and driver" "setup failed (see standard error)"
    finish
fi
pass "wine prefix and driver"
scenario_event_log_channel
e2e_log "power events are not sent: ControlService refuses code 13 under Wine as on Windows"

run_driver_rows

if [ ! -f "$BUILD/Quorvale.exe" ]; then
    fail "Quorvale.exe" "not built in $BUILD (cmake --preset windows && cmake --build --preset windows)"
    finish
fi
install_product

scenario_no_argument
scenario_install
run_start_rows
scenario_controls
scenario_remove
scenario_commands
finish
