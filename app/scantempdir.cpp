#include "scantempdir.h"

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx2trace.h"

namespace {

bool g_private = false;

void trace(const char* what)
{
    PRINTLN_WITHTIME(QStringLiteral("scan temporary directory: %1: %2")
                         .arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

const char ScanTempDir::kMountPoint[] = "/run/znantivirus-scantmp";

bool ScanTempDir::enterPrivateMounts()
{
    if (::geteuid() != 0)
        return false;
    if (::unshare(CLONE_NEWNS) != 0) {
        trace("no mount namespace of its own");
        return false;
    }
    // Slave: the host's mounts and unmounts still arrive here; nothing
    // mounted here goes back.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
        trace("cannot make the mounts private");
        return false;
    }
    g_private = true;
    return true;
}

namespace {

// A tmpfs mounted at the mount point for this process already (the unit's
// TemporaryFileSystem=): a mount of its own, root's, closed to others. A
// plain directory on /run would be a tmpfs too, but one others share.
bool providedByTheUnit()
{
    struct stat own;
    struct stat parent;
    struct statfs fs;
    return ::lstat(ScanTempDir::kMountPoint, &own) == 0 && S_ISDIR(own.st_mode) && own.st_uid == 0
        && (own.st_mode & 077) == 0 && ::stat("/run", &parent) == 0 && own.st_dev != parent.st_dev
        && ::statfs(ScanTempDir::kMountPoint, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

} // namespace

QString ScanTempDir::mount()
{
    if (providedByTheUnit())
        return QString::fromLatin1(kMountPoint);
    if (!g_private)
        return QString();
    struct stat info;
    if (::mkdir(kMountPoint, 0700) != 0 && errno != EEXIST) {
        trace("cannot make the mount point");
        return QString();
    }
    // The directory must be root's own, not something else planted there.
    if (::lstat(kMountPoint, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0) {
        trace("the mount point is not root's directory");
        return QString();
    }
    if (::mount("tmpfs", kMountPoint, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=25%,mode=0700")
        != 0) {
        trace("cannot mount a tmpfs");
        return QString();
    }
    return QString::fromLatin1(kMountPoint);
}
