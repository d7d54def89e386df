#!/usr/bin/env bash
# The service's main job on a fresh Debian machine: installs what is missing,
# builds Quorvale.exe and the stand-in display driver, and runs the service
# under Wine against the driver, printing each step.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_packages.sh cmake ninja-build mingw-w64 wine wine64

cmake --preset windows >/dev/null
cmake --build --preset windows -j 2
exec bash e2e/demo.sh build/windows
