#!/usr/bin/env bash
# The package's life on a machine: install, first use, upgrade, remove,
# purge, run by dpkg in a root of its own that the host never sees.
#
# The root is an overlay of the host's root file system whose changes stay
# in memory, in a mount namespace of its own: dpkg's database, the group the
# package adds and every file it installs or leaves go away with the
# namespace. No systemd runs there, so systemctl is a stand-in that records
# what the maintainer scripts ask of it and does it to a service started by
# hand (stop, try-restart); deb-systemd-invoke reaches it as on a real
# system once /run/systemd/system exists.
#
# Checks: the install adds the group and starts nothing; a scan quarantines
# a file; an upgrade (the same package with a higher version) restarts the
# running service; a removal stops it and keeps the settings, the store
# and the quarantine; a purge leaves exactly the quarantined file, says
# where it is, and removes the group.
#
# Usage: scripts/package-lifecycle.sh DEB   (as root; called by
# scripts/package-check.sh)
set -euo pipefail
DEB=$(realpath "$1")
cd "$(dirname "$0")/.."
die() {
    echo "package-lifecycle: FAILED: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || die "must run as root"

# Where no mount namespace may be made (an unprivileged container) the
# life cycle cannot run without touching the host: it says so and stops.
skip() {
    echo "package-lifecycle: SKIPPED: $*"
    exit 0
}
if [ "${ZN_LIFECYCLE_INSIDE:-}" != 1 ]; then
    unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace may be made here"
    exec env ZN_LIFECYCLE_INSIDE=1 unshare --mount --propagation private -- "$0" "$DEB"
fi

# --- In the private mount namespace: build the root --------------------------
SCRATCH=$(mktemp -d /run/znantivirus-lifecycle.XXXXXX)
trap 'umount -R "$SCRATCH" 2>/dev/null || true; rmdir "$SCRATCH" 2>/dev/null || true' EXIT
mount -t tmpfs lifecycle "$SCRATCH"
mkdir "$SCRATCH/upper" "$SCRATCH/work" "$SCRATCH/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$SCRATCH/upper,workdir=$SCRATCH/work" "$SCRATCH/root" ||
    skip "the root file system cannot be the lower layer of an overlay here"
ROOT=$SCRATCH/root
mount --rbind /dev "$ROOT/dev"
mount -t proc proc "$ROOT/proc"
mount -t tmpfs run "$ROOT/run"
mount -t tmpfs tmp "$ROOT/tmp"
mkdir -p "$ROOT/run/systemd/system"
# A container's policy that forbids starting services would hide what the
# maintainer scripts ask for.
rm -f "$ROOT/usr/sbin/policy-rc.d"

# The same package with a higher version, for the upgrade.
UNPACKED=$ROOT/tmp/next
dpkg-deb -R "$DEB" "$UNPACKED"
VERSION=$(dpkg-deb --field "$DEB" Version)
sed -i "s/^Version: .*/Version: $VERSION+1/" "$UNPACKED/DEBIAN/control"
dpkg-deb -b "$UNPACKED" "$ROOT/tmp/next.deb" >/dev/null
cp "$DEB" "$ROOT/tmp/first.deb"

# systemctl's stand-in: records each call; stop and try-restart act on the
# service started by hand (its command line is kept in /run/znantivirus.cmd).
mv "$ROOT/usr/bin/systemctl" "$ROOT/usr/bin/systemctl.real" 2>/dev/null || true
cat >"$ROOT/usr/bin/systemctl" <<'STUB'
#!/bin/sh
echo "systemctl $*" >>/run/systemctl.calls
case "$*" in
*" stop "* | "stop "*)
    start-stop-daemon --stop --quiet --retry TERM/30/KILL/5 --exec /usr/sbin/znantivirus || true ;;
*try-restart*)
    if start-stop-daemon --stop --quiet --retry TERM/30/KILL/5 --exec /usr/sbin/znantivirus; then
        start-stop-daemon --start --background --make-pidfile --pidfile /run/znantivirus.pid \
            --exec /usr/sbin/znantivirus -- --cfg /zelo/etc/antivirus/config.json
    fi ;;
esac
exit 0
STUB
chmod 755 "$ROOT/usr/bin/systemctl"

cp scripts/package-lifecycle-inside.sh "$ROOT/tmp/inside.sh"
chroot "$ROOT" /bin/bash /tmp/inside.sh || die "the life cycle failed (see above)"
echo "package-lifecycle: OK"
