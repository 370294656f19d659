#!/usr/bin/env bash
# Builds a release build in build/ and runs the service in the foreground
# with a local demo configuration under var/ (written on first run).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZN_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target znantivirus znavctl

VAR=$ROOT/var
mkdir -p "$VAR/etc" "$VAR/data/virusdb" "$VAR/run" "$VAR/scan"

if [ ! -f "$VAR/etc/config.json" ]; then
    cat > "$VAR/etc/config.json" <<JSON
{
    "appname": "znantivirus",
    "lpcid": "$VAR/run/znantivirus.sock",
    "debugging": true,
    "debuglevel": 51,
    "settings": "$VAR/etc/settings.json",
    "database": "$VAR/etc/antivirus.db",
    "virusdburl": "http://127.0.0.1:8089/virusdb.json",
    "overall": { "path": "$VAR/scan" }
}
JSON
fi

if [ ! -f "$VAR/etc/settings.json" ]; then
    cat > "$VAR/etc/settings.json" <<JSON
{
    "enabled": true,
    "datadir": "$VAR/data",
    "threads": 2,
    "vdbauto": false,
    "schedule": {}
}
JSON
fi

# A starter signature database: the MD5 and size of the standard 68-byte
# antivirus test string, so a demo scan has something to find.
if [ -z "$(ls -A "$VAR/data/virusdb" 2>/dev/null)" ]; then
    echo "44d88612fea8a8f36de82e1278abb02f:68:Demo.Test.Signature" > "$VAR/data/virusdb/demo.hdb"
fi

echo "Configuration: $VAR/etc/config.json"
echo "Client:        build/bin/znavctl --cfg $VAR/etc/config.json call help_interfaces"
exec build/bin/znantivirus --cfg "$VAR/etc/config.json"
