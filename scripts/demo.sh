#!/usr/bin/env bash
# The service's main job on a fresh Debian machine: installs what is missing,
# builds Quorvale.exe and the stand-in display driver, and runs the service
# under Wine against the driver, printing each step.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build mingw-w64 wine wine64)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset windows >/dev/null
cmake --build --preset windows -j 2
exec bash e2e/demo.sh build/windows
