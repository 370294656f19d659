#!/usr/bin/env bash
# Builds the release build with -Werror, packs the Debian package and
# checks it, installs the project with `cmake --install` into a temporary
# root, verifies the systemd unit, and runs the installed service there on
# its installed default configuration (rewritten to that root). The
# packaged executables must carry the hardening flags (PIE, RELRO, BIND_NOW,
# stack protector, _FORTIFY_SOURCE), and the files the service writes must
# be its own (0600). A scan of a
# tree holding the antivirus test file must report the detection, move the
# file into quarantine and end its task, with the event lines on standard
# output and in the configured log file; a restore brings the file back; an
# update from a local mirror made by the installed znavmirror installs a set
# whose new signature the next scan finds; a SIGTERM ends the service with
# exit code 0; the documented salvage of a damaged store keeps what can be
# read and the service starts on it; and scripts/package-lifecycle.sh takes
# the .deb through install, upgrade, remove and purge.
#
# The service runs inside the unit's limits as scripts/unit-sandbox.py
# reproduces them without systemd (read-only system, private /tmp and /dev,
# the address families, namespaces and personality the unit allows, its
# capability bounding set, no_new_privs), so the scan, quarantine, restore
# and update are proved under them. Where no mount namespace may be made
# (an unprivileged container), only the capability bounding set and
# no_new_privs are applied, through setpriv, and the check says so.
#
# Called by scripts/test.sh; runs on its own too. Environment:
#   PKG_BUILD_DIR  release build directory (build-pkg)
#   JOBS           parallel build jobs (nproc)
#   KEEP_ROOT=1    leave the temporary root for inspection
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE=$PWD

BUILD=${PKG_BUILD_DIR:-build-pkg}
JOBS=${JOBS:-$(nproc)}

step() { printf '\n== %s\n' "$*"; }
die() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

step "release build with -Werror in $BUILD"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZN_WERROR=ON \
    -DZN_BUILD_TESTS=OFF -DZN_BUILD_BENCH=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target znantivirus znavctl znavmirror

step "Debian package"
rm -f "$BUILD"/znantivirus_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
DEB=$(ls "$BUILD"/znantivirus_*.deb)
echo "$DEB"
dpkg-deb --info "$DEB"
dpkg-deb --contents "$DEB"
CONTENTS=$(dpkg-deb --contents "$DEB")
for path in ./usr/sbin/znantivirus ./usr/bin/znavctl ./usr/bin/znavmirror \
    ./lib/systemd/system/znantivirus.service ./zelo/etc/antivirus/config.json \
    ./usr/share/man/man8/znantivirus.8 ./usr/share/man/man1/znavctl.1 \
    ./usr/share/man/man1/znavmirror.1 ./usr/share/doc/znantivirus/operations.md; do
    grep -q " $path\$" <<<"$CONTENTS" || die "package lacks $path"
done
# dpkg-shlibdeps derives Depends from the libraries the executables need
# (Qt Network is not among them: the local socket is served without it);
# libclamav's package name carries its soname version.
DEPENDS=$(dpkg-deb --field "$DEB" Depends)
for package in libqt5core5a 'libclamav[0-9]+' libsqlite3-0 libcurl4; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$DEPENDS" || die "Depends lacks $package: $DEPENDS"
done
# The packaged executables carry the hardening of the release build
# (CMakeLists.txt, ZN_HARDEN): a position-independent executable with
# read-only relocations bound at start-up (RELRO, BIND_NOW), the stack
# protector, and checked libc calls (_FORTIFY_SOURCE). Only the service
# calls libc functions whose buffer sizes the compiler knows, so only its
# checked calls (*_chk) show in the binary; every target was compiled
# with the flag.
UNPACKED=$(mktemp -d "$(realpath "$BUILD")/unpacked.XXXXXX")
dpkg-deb -x "$DEB" "$UNPACKED"
for binary in usr/sbin/znantivirus usr/bin/znavctl usr/bin/znavmirror; do
    file=$UNPACKED/$binary
    readelf -h "$file" | grep -Eq 'Type:[[:space:]]+DYN' || die "$binary is not position-independent"
    readelf -lW "$file" | grep -q GNU_RELRO || die "$binary has no RELRO segment"
    readelf -dW "$file" | grep -Eq 'BIND_NOW|FLAGS_1.*NOW' || die "$binary is not bound at start-up"
    symbols=$(readelf --dyn-syms -W "$file")
    grep -q ' __stack_chk_fail' <<<"$symbols" || die "$binary has no stack protector"
    checked=$(grep -oE ' __[a-z0-9_]+_chk\b' <<<"$symbols" | grep -v __stack_chk | sort -u | tr -d ' ' | tr '\n' ' ' || true)
    echo "$binary: PIE, RELRO, BIND_NOW, stack protector; checked calls: ${checked:-none}"
    if [ "$binary" = usr/sbin/znantivirus ] && [ -z "$checked" ]; then
        die "$binary has no checked (_FORTIFY_SOURCE) calls"
    fi
done
python3 - "$BUILD/compile_commands.json" <<'PY' || die "a source was compiled without the hardening flags"
import json, sys
units = json.load(open(sys.argv[1]))
flags = ("-D_FORTIFY_SOURCE=2", "-fstack-protector-strong", "-fstack-clash-protection")
bare = [u["file"] for u in units if not all(f in u["command"].split() for f in flags)]
print("%d sources compiled with %s" % (len(units) - len(bare), " ".join(flags)))
for name in bare:
    print("without the hardening flags:", name)
sys.exit(1 if bare or not units else 0)
PY
rm -rf "$UNPACKED"
CONFFILES=$(dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles)
dpkg-deb --ctrl-tarfile "$DEB" | tar -t | grep -qx './postinst' || die "no postinst in the package"
[ "$CONFFILES" = "/zelo/etc/antivirus/config.json" ] || die "conffiles: $CONFFILES"

step "cmake --install into a temporary root"
# Not below /tmp or /var/tmp: the service's private ones would hide it (a
# clone under /tmp builds there).
ROOT_PARENT=$(realpath "$BUILD")
case "$ROOT_PARENT/" in
/tmp/* | /var/tmp/*) ROOT_PARENT=/var/lib ;;
esac
ROOT=$(mktemp -d "$ROOT_PARENT/znantivirus-pkgroot.XXXXXX")
SERVICE_PID=
MIRROR_PID=
# The package's postinst adds this group; the check leaves the host as it
# found it.
GROUP_WAS_THERE=no
getent group znantivirus >/dev/null && GROUP_WAS_THERE=yes
cleanup() {
    if [ -n "$MIRROR_PID" ]; then
        kill "$MIRROR_PID" 2>/dev/null || true
        wait "$MIRROR_PID" 2>/dev/null || true
    fi
    if [ -n "$SERVICE_PID" ] && kill -0 "$SERVICE_PID" 2>/dev/null; then
        kill -TERM "$SERVICE_PID" 2>/dev/null || true
        wait "$SERVICE_PID" 2>/dev/null || true
    fi
    if [ "${KEEP_ROOT:-0}" = 1 ]; then
        echo "root kept: $ROOT"
    else
        rm -rf "$ROOT"
    fi
    if [ "$GROUP_WAS_THERE" = no ] && getent group znantivirus >/dev/null; then
        groupdel znantivirus
    fi
}
trap cleanup EXIT
DESTDIR=$ROOT cmake --install "$BUILD" >/dev/null
(cd "$ROOT" && find . -type f | sort)
for path in usr/sbin/znantivirus usr/bin/znavctl usr/bin/znavmirror \
    lib/systemd/system/znantivirus.service zelo/etc/antivirus/config.json \
    usr/share/man/man8/znantivirus.8 usr/share/man/man1/znavctl.1 usr/share/man/man1/znavmirror.1 \
    usr/share/doc/znantivirus/operations.md; do
    [ -e "$ROOT/$path" ] || die "install lacks /$path"
done
CONFIG=$ROOT/zelo/etc/antivirus/config.json
cmp -s "$CONFIG" packaging/config.json || die "installed config.json differs from packaging/config.json"
# A second install leaves an administrator's configuration alone.
echo '{"lpcid": "kept"}' >"$CONFIG.mine"
cp "$CONFIG.mine" "$CONFIG"
DESTDIR=$ROOT cmake --install "$BUILD" >/dev/null
cmp -s "$CONFIG" "$CONFIG.mine" || die "a second install replaced config.json"
rm -f "$CONFIG.mine"
cp packaging/config.json "$CONFIG"

if command -v groff >/dev/null; then
    for page in "$ROOT"/usr/share/man/man*/*; do
        warnings=$(groff -k -Tutf8 -man -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || die "$page: $warnings"
    done
fi

step "systemd-analyze verify"
if command -v systemd-analyze >/dev/null; then
    # The unit names /usr/sbin/znantivirus; verify a copy that names the
    # installed binary instead, with the installed man pages on MANPATH.
    sed "s#^ExecStart=/usr/sbin/#ExecStart=$ROOT/usr/sbin/#" \
        "$ROOT/lib/systemd/system/znantivirus.service" >"$ROOT/znantivirus.service"
    man_check=no
    command -v man >/dev/null && man_check=yes
    MANPATH=$ROOT/usr/share/man systemd-analyze verify --man=$man_check "$ROOT/znantivirus.service"
    rm -f "$ROOT/znantivirus.service"
    echo "unit verified (man pages checked: $man_check)"
else
    die "systemd-analyze is missing (scripts/install-deps.sh installs systemd)"
fi

step "installed service on its default configuration, rewritten to $ROOT"
WORK=$ROOT/srv/antivirus
SCANTREE=$ROOT/srv/share
mkdir -p "$ROOT/run/znantivirus" "$ROOT/var/log/znantivirus" "$ROOT/var/lib/clamav" "$WORK/virusdb" "$SCANTREE/docs/deep"
MIRROR=$ROOT/srv/mirror
mkdir -p "$MIRROR"
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 - "$CONFIG" "$ROOT" "$PORT" <<'PY'
import json, sys
path, root = sys.argv[1], sys.argv[2]
config = json.load(open(path))
for key in ("lpcid", "settings", "database", "systemvirusdb"):
    config[key] = root + config[key]
config["overall"]["path"] = root + config["overall"]["path"]
config["virusdburl"] = "http://127.0.0.1:%s/virusdb.json" % sys.argv[3]
# Failures, and the start and summary lines of every scan task.
config["debuglevel"] = 0x32
# The events go to a log file as well.
config["logfile"] = root + "/var/log/znantivirus/events.log"
json.dump(config, open(path, "w"), indent=4)
PY
cat "$CONFIG"
# What the package's postinst does: the socket's group.
sh packaging/postinst configure
cat >"$ROOT/zelo/etc/antivirus/settings.json" <<JSON
{ "enabled": 1, "datadir": "$WORK", "threads": 2, "vdbauto": 0, "schedule": {} }
JSON

# The antivirus test string, put together here so no file of the project
# holds it, and a signature that finds it by its MD5 and size.
TESTFILE=$SCANTREE/docs/deep/sample.com
printf '%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-' 'ANTIVIRUS-TEST-FILE!$H+H*' >"$TESTFILE"
echo "harmless" >"$SCANTREE/docs/readme.txt"
# Another user's private file in another user's private folder: reading,
# moving and restoring it needs the capabilities the unit keeps.
chmod 0600 "$TESTFILE"
chown -R 65534:65534 "$SCANTREE/docs/deep"
chmod 0700 "$SCANTREE/docs/deep"
echo "$(md5sum <"$TESTFILE" | cut -d' ' -f1):$(stat -c %s "$TESTFILE"):Package.Check.Test" \
    >"$WORK/virusdb/packagecheck.hdb"
TESTSUM=$(md5sum <"$TESTFILE")

# The mirror: the same signature and one more, for a file only the updated
# set knows; described by the installed znavmirror and served over HTTP.
cp "$WORK/virusdb/packagecheck.hdb" "$MIRROR/"
echo "package check, mirror sample" >"$ROOT/mirror-sample"
echo "$(md5sum <"$ROOT/mirror-sample" | cut -d' ' -f1):$(stat -c %s "$ROOT/mirror-sample"):Package.Check.Mirror" \
    >"$MIRROR/mirror.hdb"
"$ROOT/usr/bin/znavmirror" "$MIRROR" "http://127.0.0.1:$PORT/"
python3 -m http.server "$PORT" --bind 127.0.0.1 --directory "$MIRROR" >"$ROOT/mirror.log" 2>&1 &
MIRROR_PID=$!
mirror_ready() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
wait_for 30 mirror_ready || die "the mirror did not listen"

SANDBOXED=no
if python3 scripts/unit-sandbox.py --probe; then
    echo "running inside the unit's limits (scripts/unit-sandbox.py)"
    SANDBOXED=yes
    LAUNCH=(python3 scripts/unit-sandbox.py "$ROOT" --)
elif command -v setpriv >/dev/null; then
    echo "no mount namespace here: running under the unit's capability bounding set only (setpriv)"
    LAUNCH=(setpriv --no-new-privs
        --bounding-set -all,+dac_override,+dac_read_search,+fowner,+chown,+fsetid,+lease --)
else
    echo "no mount namespace and no setpriv here: running without the unit's limits"
    LAUNCH=()
fi
LOG=$ROOT/service.log
"${LAUNCH[@]}" "$ROOT/usr/sbin/znantivirus" --cfg "$CONFIG" >"$LOG" 2>&1 &
SERVICE_PID=$!
CTL=("$ROOT/usr/bin/znavctl" --cfg "$CONFIG")

socket_ready() { [ -S "$ROOT/run/znantivirus/znantivirus.sock" ]; }
wait_for 30 socket_ready || {
    cat "$LOG"
    die "the service did not listen"
}
if [ "$SANDBOXED" = yes ]; then
    grep -Eq '^Seccomp:[[:space:]]+2$' "/proc/$SERVICE_PID/status" || die "the service runs without the seccomp filter"
    grep -Eq '^NoNewPrivs:[[:space:]]+1$' "/proc/$SERVICE_PID/status" || die "the service runs without no_new_privs"
    [ "$(readlink "/proc/$SERVICE_PID/ns/mnt")" != "$(readlink /proc/self/ns/mnt)" ] ||
        die "the service shares the host's mount namespace"
fi
SOCKET_ACCESS=$(stat -c '%a %G' "$ROOT/run/znantivirus/znantivirus.sock")
[ "$SOCKET_ACCESS" = "660 znantivirus" ] || die "socket access: $SOCKET_ACCESS"
# The engine loads on the update thread after start-up: a scan is refused
# until it is ready.
scan_started() { "${CTL[@]}" scan "$SCANTREE" >/dev/null 2>&1; }
wait_for 60 scan_started || {
    cat "$LOG"
    die "no scan was accepted"
}
task_ended() { grep -q "查杀毒完成: $SCANTREE" "$LOG"; }
wait_for 60 task_ended || {
    cat "$LOG"
    die "the task did not end"
}
quarantined() { [ ! -e "$TESTFILE" ] && "${CTL[@]}" --json quarantine | grep -q 'sample.com'; }
wait_for 30 quarantined || {
    cat "$LOG"
    die "the test file was not quarantined"
}
"${CTL[@]}" quarantine
cat "$LOG"
grep -q "开始查杀毒: $SCANTREE" "$LOG" || die "no task start line"
grep -q "有毒文件数: 1" "$LOG" || die "no detection in the task summary"
ls -A "$WORK/.qra" | grep -q . || die "the quarantine directory is empty"
# The event lines, on standard output and in the log file.
EVENTS=$ROOT/var/log/znantivirus/events.log
for event in "[engine] signatures=" "[task-start] task=1" "[detect] task=1" \
    "[quarantine] task=1 path=$TESTFILE" "[task-end] task=1"; do
    grep -qF "$event" "$LOG" || die "no event line '$event' on standard output"
    grep -qF "$event" "$EVENTS" || die "no event line '$event' in $EVENTS"
done
echo "event lines found on standard output and in $EVENTS"
# The records are the service's own (docs/operations.md "File modes"):
# the store, the settings (written 0644 above, closed at start-up) and
# the event log are 0600.
for file in "$ROOT/zelo/etc/antivirus/antivirus.db" "$ROOT/zelo/etc/antivirus/settings.json" "$EVENTS"; do
    [ "$(stat -c %a "$file")" = 600 ] || die "$file is $(stat -c %a "$file"), not 600"
done

step "restore"
IFTNO=$("${CTL[@]}" --json quarantine | python3 -c '
import json, sys
rows = json.load(sys.stdin)["results"]["records"]
print(next(r["iftno"] for r in rows if r["path"].endswith("sample.com")))')
"${CTL[@]}" restore "$IFTNO"
restored() { [ -f "$TESTFILE" ]; }
wait_for 30 restored || die "restore did not bring the file back"
[ "$(md5sum <"$TESTFILE")" = "$TESTSUM" ] || die "the restored file differs"
[ "$(stat -c %a:%u:%g "$TESTFILE")" = 600:65534:65534 ] ||
    die "the restored file lost its mode or owner: $(stat -c %a:%u:%g "$TESTFILE")"

step "update from the mirror"
"${CTL[@]}" update --wait || {
    cat "$LOG"
    die "the update failed"
}
"${CTL[@]}" update --status
[ "$(stat -c %a "$ROOT/zelo/etc/antivirus/virusdb.json")" = 600 ] ||
    die "virusdb.json is $(stat -c %a "$ROOT/zelo/etc/antivirus/virusdb.json"), not 600"
cp "$ROOT/mirror-sample" "$SCANTREE/docs/mirror-sample"
# An archive holding the test file: libclamav unpacks it in its temporary
# directory, which is the private /tmp under the unit.
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").write(sys.argv[2], "inner.com")' \
    "$SCANTREE/docs/bundle.zip" "$TESTFILE"
"${CTL[@]}" scan "$SCANTREE/docs" >/dev/null
second_task_ended() { grep -q "查杀毒完成: $SCANTREE/docs" "$LOG"; }
wait_for 60 second_task_ended || {
    cat "$LOG"
    die "the second task did not end"
}
grep -A4 "查杀毒完成: $SCANTREE/docs" "$LOG" | grep -q "有毒文件数: 3" ||
    die "the updated set did not find all three files: $(grep -A4 "查杀毒完成: $SCANTREE/docs" "$LOG")"

step "SIGTERM"
kill -TERM "$SERVICE_PID"
status=0
wait "$SERVICE_PID" || status=$?
SERVICE_PID=
[ "$status" -eq 0 ] || die "exit code $status after SIGTERM"
grep -q "Wait for quit ..." "$LOG" || die "no stop line"

step "salvage of a damaged store (docs/operations.md)"
# The store, grown by a few thousand scan logs, damaged in the middle of
# their pages; the documented road must keep what can still be read, and
# the installed service must accept the result.
STORE=$ROOT/zelo/etc/antivirus/antivirus.db
sqlite3 "$STORE" "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 3000)
    INSERT INTO t_log (log_state, log_path) SELECT 9, printf('/srv/share/salvage-%05d', x) FROM n;"
mkdir -p "$ROOT/damaged"
mv "$STORE" "$ROOT/damaged/antivirus.db"
PAGES=$(($(stat -c %s "$ROOT/damaged/antivirus.db") / 4096))
head -c 4096 /dev/urandom | dd of="$ROOT/damaged/antivirus.db" bs=4096 seek=$((PAGES / 2)) conv=notrunc status=none
if sqlite3 "$ROOT/damaged/antivirus.db" "PRAGMA integrity_check" | grep -qx ok; then
    die "the damage did not show"
fi
sqlite3 "$ROOT/damaged/antivirus.db" .dump 2>/dev/null | sed 's/^ROLLBACK; -- due to errors$/COMMIT;/' |
    sqlite3 "$STORE"
[ "$(sqlite3 "$STORE" "PRAGMA integrity_check")" = ok ] || die "the salvaged store is damaged"
SALVAGED=$(sqlite3 "$STORE" "SELECT COUNT(*) FROM t_log")
[ "$SALVAGED" -gt 1000 ] || die "the salvage kept only $SALVAGED scan logs"
echo "salvaged $SALVAGED of 3002 scan logs"
"${LAUNCH[@]}" "$ROOT/usr/sbin/znantivirus" --cfg "$CONFIG" >"$LOG" 2>&1 &
SERVICE_PID=$!
wait_for 30 socket_ready || {
    cat "$LOG"
    die "the service did not start on the salvaged store"
}
kill -TERM "$SERVICE_PID"
wait "$SERVICE_PID" || die "the service on the salvaged store did not stop cleanly"
SERVICE_PID=

step "package life cycle: install, upgrade, remove, purge"
scripts/package-lifecycle.sh "$DEB"
echo "package-check: OK"
