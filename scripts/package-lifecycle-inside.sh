#!/bin/bash
# The steps of scripts/package-lifecycle.sh, run inside its private root
# (never on a host of its own: it installs and purges the package).
set -euo pipefail
die() {
    echo "package-lifecycle: FAILED: $*" >&2
    exit 1
}
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}
ETC=/zelo/etc/antivirus
CTL=(znavctl --cfg "$ETC/config.json" --timeout 10)
running() { start-stop-daemon --status --exec /usr/sbin/znantivirus 2>/dev/null; }
PIDFILE=/run/znantivirus.pid
listening() { [ -S /run/znantivirus/znantivirus.sock ]; }

if dpkg -s znantivirus >/dev/null 2>&1; then
    dpkg -P znantivirus >/dev/null
fi
# The host's group (the package check adds it) is not this root's concern.
if getent group znantivirus >/dev/null; then
    groupdel znantivirus
fi

echo "== install"
dpkg -i /tmp/first.deb
getent group znantivirus >/dev/null || die "the install made no group"
running && die "the install started the service"

echo "== first use: a work area, a signature, a scan"
mkdir -p /srv/av/virusdb /mnt/share /run/znantivirus
chmod 0755 /srv /srv/av
printf '%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-' 'ANTIVIRUS-TEST-FILE!$H+H*' >/mnt/share/sample.com
echo "$(md5sum </mnt/share/sample.com | cut -d' ' -f1):$(stat -c %s /mnt/share/sample.com):Lifecycle.Test" \
    >/srv/av/virusdb/lifecycle.hdb
cat >"$ETC/settings.json" <<'JSON'
{ "enabled": 1, "datadir": "/srv/av", "threads": 1, "vdbauto": 0, "schedule": {} }
JSON
start-stop-daemon --start --background --make-pidfile --pidfile "$PIDFILE" \
    --exec /usr/sbin/znantivirus -- --cfg "$ETC/config.json"
wait_for 30 listening || die "the service did not listen"
scanned() {
    "${CTL[@]}" scan /mnt/share --wait >/tmp/scan.out 2>&1
    [ $? = 1 ]
}
wait_for 60 scanned || die "the scan did not find the test file: $(cat /tmp/scan.out)"
wait_for 30 test -n "$(ls -A /srv/av/.qra)" || die "nothing was quarantined"
FIRST_PID=$(cat "$PIDFILE")

echo "== upgrade"
dpkg -i /tmp/next.deb
grep -qx "systemctl try-restart znantivirus.service" /run/systemctl.calls ||
    die "the upgrade did not restart the service: $(cat /run/systemctl.calls)"
wait_for 30 running || die "the service did not come back after the upgrade"
[ "$(cat "$PIDFILE")" != "$FIRST_PID" ] || die "the service was not restarted"
wait_for 30 listening || die "the restarted service did not listen"
"${CTL[@]}" --json quarantine | grep -q sample.com || die "the upgrade lost the quarantine records"

echo "== remove"
dpkg -r znantivirus
grep -qx "systemctl stop znantivirus.service" /run/systemctl.calls ||
    die "the removal did not stop the unit: $(cat /run/systemctl.calls)"
running && die "the service runs on after the removal"
[ -e /usr/bin/znavctl ] && die "znavctl is still installed"
for kept in "$ETC/settings.json" "$ETC/antivirus.db" "$ETC/config.json"; do
    [ -e "$kept" ] || die "the removal deleted $kept"
done
[ -n "$(ls -A /srv/av/.qra)" ] || die "the removal emptied the quarantine"

echo "== purge"
dpkg -P znantivirus 2>/tmp/purge.err
cat /tmp/purge.err
grep -q "the quarantine /srv/av/.qra is kept (1 files)" /tmp/purge.err ||
    die "the purge did not say where the quarantine is"
getent group znantivirus >/dev/null && die "the purge left the group"
LEFT=$( (find /zelo /srv/av /var/log/znantivirus -mindepth 0 2>/dev/null || true) | sort | tr '\n' ' ')
echo "left after the purge: $LEFT"
[ "$LEFT" = "/srv/av /srv/av/.qra /srv/av/.qra/sample.com " ] ||
    die "the purge left more or less than the quarantine: $LEFT"
echo "== life cycle done"
