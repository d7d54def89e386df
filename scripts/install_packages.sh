#!/usr/bin/env bash
# Installs, with apt-get, those of the named Debian packages that are missing.
#   bash scripts/install_packages.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
