#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need;
# with --bench also the peers the benchmarks measure against.
# Quick and quiet when everything is already present.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev
    libsqlite3-dev
    libclamav-dev
    libcurl4-openssl-dev
    clamav-testfiles
    clang libclang-rt-14-dev
    python3
    # The package check: cpack's dependency scan (file, dpkg-shlibdeps),
    # systemd-analyze for the unit, readelf for the executables' hardening.
    file dpkg-dev systemd binutils
    # The documented salvage of a damaged store, proven by the package check.
    sqlite3
)

# The benchmarks measure the service against the command-line scanner and
# its daemon; the tests never need them.
if [ "${1:-}" = "--bench" ]; then
    PACKAGES+=(clamav clamav-daemon clamdscan)
fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
