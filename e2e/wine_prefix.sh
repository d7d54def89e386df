#!/usr/bin/env bash
# Wine bring-up for the end-to-end scripts.
#
# Sourced by run_e2e.sh, demo.sh and measure.sh; run on its own it boots a
# prefix and loads the stand-in driver, and leaves the prefix's wineserver
# running for manual work:
#   e2e/wine_prefix.sh [BUILD_DIR]        (default: build/windows)
#
# What it provides:
#   e2e_setup BUILD_DIR [NAME]
#                        install Wine if missing, build what is missing, boot
#                        a fresh prefix in BUILD_DIR/NAME (e2e-prefix), keep
#                        its wineserver alive and load tvalsim.sys
#   e2e_wine ARGS...     run a Windows program in the prefix (time-limited)
#   e2e_tool ARGS...     run tvaltool.exe in the prefix
#   e2e_teardown         end this prefix's wineserver and everything in it
#
# Wine runs headless: DISPLAY and WAYLAND_DISPLAY are cleared, so no window
# driver is ever loaded; console programs and services need none.

E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
E2E_REPO="$(cd "$E2E_DIR/.." && pwd)"

# Windows-side locations inside the prefix.
E2E_WIN_E2E='C:\e2e'
E2E_WIN_PRODUCT_DIR='C:\Program Files\Quorvale'
E2E_WIN_PRODUCT="$E2E_WIN_PRODUCT_DIR"'\Quorvale.exe'
E2E_DRIVER_SERVICE=tvalsim

e2e_log() { printf '[e2e] %s\n' "$*" >&2; }

# Debian's wine packages, installed on a fresh machine. No prompts: CI has no
# standard input.
e2e_ensure_wine() {
    if command -v wine >/dev/null 2>&1 && command -v wineserver >/dev/null 2>&1 \
        && { [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1; }; then
        return 0
    fi
    if [ "$(id -u)" != 0 ]; then
        e2e_log "wine is missing and this is not root: apt-get install wine wine64"
        return 1
    fi
    e2e_log "installing wine wine64"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null >&2 || return 1
    apt-get install -y -q --no-install-recommends wine wine64 </dev/null >&2 || return 1
}

e2e_ensure_mingw() {
    command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 && return 0
    if [ "$(id -u)" != 0 ]; then
        e2e_log "mingw-w64 is missing and this is not root"
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null >&2 || return 1
    apt-get install -y -q --no-install-recommends mingw-w64 cmake ninja-build </dev/null >&2
}

# The e2e binaries come from the Windows preset build (BUILD_DIR/e2e) when the
# root project includes this folder; otherwise they are built on their own.
e2e_find_binaries() {
    local build="$1"
    if [ -f "$build/build.ninja" ] && grep -q 'tvaltool' "$build/build.ninja"; then
        E2E_BIN="$build/e2e"
        # Ninja does nothing when they are up to date.
        cmake --build "$build" -j2 --target tvalsim tvaltool minimal_service >&2 || return 1
        return 0
    fi
    E2E_BIN="$build/e2e-standalone"
    e2e_ensure_mingw || return 1
    if [ ! -f "$E2E_BIN/build.ninja" ]; then
        cmake -S "$E2E_DIR" -B "$E2E_BIN" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$E2E_REPO/cmake/mingw-w64-x86_64.cmake" >&2 || return 1
    fi
    cmake --build "$E2E_BIN" -j2 >&2
}

e2e_env() {
    export WINEPREFIX="$1"
    export WINEARCH=win64
    # err+eventlog is where ReportEventA's strings show: one
    # "err:eventlog:ReportEventW L\"...\"" line per insertion string of an
    # error entry. Everything else is kept quiet.
    export WINEDEBUG="${E2E_WINEDEBUG:--all,err+eventlog}"
    # No Mono or Gecko download prompts during wineboot.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# Runs a program in the prefix with a time limit; standard input is closed
# so nothing waits on a terminal.
e2e_wine() {
    timeout --kill-after=5 "${E2E_TIMEOUT:-60}" wine "$@" </dev/null
}

e2e_tool() {
    e2e_wine "$E2E_WIN_E2E"'\tvaltool.exe' "$@"
}

# Unix path of a C: path inside the prefix.
e2e_unix_path() {
    local p="${1#C:\\}"
    printf '%s/drive_c/%s' "$WINEPREFIX" "${p//\\//}"
}

e2e_boot_prefix() {
    local prefix="$1"
    if [ -d "$prefix" ]; then
        e2e_env "$prefix"
        wineserver -k >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
    mkdir -p "$(dirname "$prefix")"
    e2e_env "$prefix"
    e2e_log "booting prefix $prefix"
    WINEDEBUG=-all timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || {
        e2e_log "wineboot failed"
        return 1
    }
    WINEDEBUG=-all timeout 120 wineserver -w
    # A persistent server keeps services.exe (and so the SCM and the driver
    # host) alive between the separate wine commands of a script. It is
    # bounded, so that a script that dies without its teardown leaves no
    # server behind for longer than that.
    wineserver -p"${E2E_PERSIST_SECONDS:-120}"
}

e2e_install_files() {
    mkdir -p "$(e2e_unix_path "$E2E_WIN_E2E")"
    cp "$E2E_BIN/tvaltool.exe" "$E2E_BIN/tvalsim.sys" "$E2E_BIN/minimal_service.exe" \
        "$(e2e_unix_path "$E2E_WIN_E2E")/"
}

# The first driver start can time out with 1053 while the fresh prefix is
# still settling, so it is retried a few times.
e2e_load_driver() {
    local try out
    e2e_tool create-driver "$E2E_DRIVER_SERVICE" "$E2E_WIN_E2E"'\tvalsim.sys' >/dev/null 2>&1
    for try in 1 2 3 4 5; do
        out="$(e2e_wine sc start "$E2E_DRIVER_SERVICE" 2>/dev/null | tr -d '\r')"
        if e2e_tool state >/dev/null 2>&1; then
            e2e_log "driver $E2E_DRIVER_SERVICE loaded (attempt $try)"
            return 0
        fi
        e2e_log "driver start attempt $try: $(printf '%s' "$out" | grep -E 'STATE|FAILED' | head -1)"
        sleep 2
    done
    return 1
}

# Builds Quorvale.exe with the Windows preset when the folder is the preset's
# and the program is missing (as in a fresh clone).
e2e_ensure_product() {
    local build="$1"
    [ -f "$build/Quorvale.exe" ] && return 0
    [ "$build" = "$E2E_REPO/build/windows" ] || return 1
    e2e_ensure_mingw || return 1
    e2e_log "building Quorvale.exe with the windows preset"
    (cd "$E2E_REPO" && cmake --preset windows >&2 && cmake --build --preset windows -j2 >&2)
}

e2e_setup() { # BUILD_DIR [PREFIX_NAME]
    local build="$1" name="${2:-e2e-prefix}"
    e2e_ensure_wine || return 1
    e2e_ensure_product "$build" || e2e_log "no Quorvale.exe in $build"
    e2e_find_binaries "$build" || return 1
    e2e_boot_prefix "$build/$name" || return 1
    e2e_install_files || return 1
    e2e_load_driver
}

e2e_teardown() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    # -k ends only the server of this WINEPREFIX and the processes it serves.
    wineserver -k >/dev/null 2>&1 || true
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    build="${1:-$E2E_REPO/build/windows}"
    mkdir -p "$build" && build="$(cd "$build" && pwd)"
    e2e_setup "$build" || exit 1
    e2e_tool state
    echo "prefix ready: WINEPREFIX=$WINEPREFIX (end it with: WINEPREFIX=$WINEPREFIX wineserver -k)"
fi
