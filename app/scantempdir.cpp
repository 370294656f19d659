#include "scantempdir.h"

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
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

QString ScanTempDir::mount()
{
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
