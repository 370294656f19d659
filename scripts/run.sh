#!/usr/bin/env bash
# Builds a release build in build/ (the service, znavctl and znavmirror) and
# runs the service in the foreground with a local demo configuration under
# var/ (written on first run). Each run puts the antivirus test file into
# var/scan, unless it is there already, so a demo scan has something to find.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZN_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target znantivirus znavctl znavmirror

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

# The antivirus test string, put together at run time so that no file of the
# project holds it; scanners of the checkout would flag it otherwise.
TESTFILE=$VAR/scan/eicar.com
if [ ! -e "$TESTFILE" ]; then
    printf '%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-' 'ANTIVIRUS-TEST-FILE!$H+H*' \
        >"$TESTFILE"
fi

# A starter signature database: the MD5 and size of the test file, so a
# demo scan has something to find without a downloaded database.
if [ -z "$(ls -A "$VAR/data/virusdb" 2>/dev/null)" ]; then
    echo "$(md5sum <"$TESTFILE" | cut -d' ' -f1):$(stat -c %s "$TESTFILE"):Demo.Test.Signature" \
        >"$VAR/data/virusdb/demo.hdb"
fi

echo "Configuration: $VAR/etc/config.json"
echo "Client:        build/bin/znavctl --cfg $VAR/etc/config.json call help_interfaces"
exec build/bin/znantivirus --cfg "$VAR/etc/config.json"
