#!/usr/bin/env bash
# Demonstration of the service's main job under Wine: at start-up it restores
# the display selection that the driver designates.
#
#   e2e/demo.sh [WINDOWS_BUILD_DIR]        (default: build/windows)
#
# Builds what is missing (Quorvale.exe with the windows preset, the driver
# and the tool), boots a throwaway prefix, loads the stand-in driver with
# active selection 1 and target index 3 (selection 4), installs and starts
# the service, shows the active selection before and after, then stops and
# removes the service. Each step is printed as it happens.
set -u

E2E_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine_prefix.sh
. "$E2E_HERE/wine_prefix.sh"

BUILD="${1:-$E2E_REPO/build/windows}"
mkdir -p "$BUILD" && BUILD="$(cd "$BUILD" && pwd)" || exit 1

step() { printf '\n== %s\n' "$*"; }
show() { "$@" 2>/dev/null | tr -d '\r' | sed 's/^/   /'; }
active() {
    local a
    a="$(e2e_tool state 2>/dev/null | tr -d '\r' | sed -n 's/^active=\([0-9]*\) .*/\1/p')"
    echo "   active selection held by \\.\TVALD: ${a:-unknown}"
}
die() {
    echo "demo failed: $*"
    e2e_teardown
    exit 1
}

step "Boot a throwaway Wine prefix and load the stand-in display driver"
e2e_setup "$BUILD" demo-prefix || die "setup"
[ -f "$BUILD/Quorvale.exe" ] || die "no Quorvale.exe in $BUILD"
echo "   prefix: $WINEPREFIX"
trap 'e2e_teardown; exit 130' INT TERM

step "Copy Quorvale.exe to $E2E_WIN_PRODUCT"
dir="$(e2e_unix_path "$E2E_WIN_PRODUCT_DIR")"
mkdir -p "$dir" && cp "$BUILD/Quorvale.exe" "$dir/" || die "copy"

step "Driver: active selection 1 (first output), target index 3 (third output, selection 4)"
show e2e_tool set active=1 target=3 reply20=0 reply22=4
e2e_tool clear >/dev/null 2>&1

step "Quorvale.exe -install"
show e2e_wine "$E2E_WIN_PRODUCT" -install

step "Active selection before the service starts"
active

step "sc start QuorvaleService"
show e2e_wine sc start QuorvaleService
show e2e_tool wait QuorvaleService 4 10000

step "Active selection after the start-up restore"
active

step "Requests the driver received during start-up"
show e2e_tool record

step "Quorvale.exe -remove (stops the running service, then removes it)"
show e2e_wine "$E2E_WIN_PRODUCT" -remove

step "Service status after removal"
show e2e_tool status QuorvaleService

e2e_teardown
step "Done: the prefix's wineserver has ended; the prefix stays in $WINEPREFIX"
