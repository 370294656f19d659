#include "scantempdir.h"

#include <QDir>

#include <cerrno>
#include <csignal>

#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

const char kUnitMount[] = "/run/znantivirus-scantmp";
const char kOwnMountPrefix[] = "znantivirus-scantmp.";

// A tmpfs mounted at `path` for one owner: root's, closed to others, and a
// mount of its own rather than a directory of /run's tmpfs.
bool isPrivateTmpfs(const QByteArray& path)
{
    struct stat own;
    struct stat parent;
    struct statfs fs;
    return ::lstat(path.constData(), &own) == 0 && S_ISDIR(own.st_mode) && own.st_uid == 0
        && (own.st_mode & 077) == 0 && ::stat("/run", &parent) == 0
        && own.st_dev != parent.st_dev && ::statfs(path.constData(), &fs) == 0
        && fs.f_type == TMPFS_MAGIC;
}

// Detached, so that nothing left open there keeps it busy: its memory goes
// with the last user.
void removeMount(const QByteArray& path)
{
    ::umount2(path.constData(), MNT_DETACH | UMOUNT_NOFOLLOW);
    ::rmdir(path.constData());
}

// Unmounts and removes the mounts of service processes that are gone.
// Only root writes /run, so the names found there are the service's own.
void sweepLeftMounts()
{
    const QStringList names = QDir(QStringLiteral("/run"))
                                  .entryList({QLatin1String(kOwnMountPrefix) + QLatin1Char('*')},
                                             QDir::Dirs | QDir::NoSymLinks | QDir::Hidden);
    for (const QString& name : names) {
        bool number = false;
        const pid_t pid = pid_t(name.mid(int(sizeof kOwnMountPrefix) - 1).toInt(&number));
        if (!number || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        removeMount(QFile::encodeName(QStringLiteral("/run/") + name));
    }
}

} // namespace

ScanTempDir::ScanTempDir()
{
    if (isPrivateTmpfs(kUnitMount)) {
        directory = kUnitMount;
        return;
    }
    if (::geteuid() != 0)
        return;
    sweepLeftMounts();
    const QByteArray own = QByteArray("/run/") + kOwnMountPrefix + QByteArray::number(::getpid());
    removeMount(own); // one left by an earlier process of the same number
    if (::mkdir(own.constData(), 0700) != 0)
        return;
    if (::mount("znantivirus-scantmp", own.constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=25%,mode=0700")
            != 0
        || !isPrivateTmpfs(own)) {
        removeMount(own);
        return;
    }
    directory = own;
    mountedHere = true;
}

ScanTempDir::~ScanTempDir()
{
    if (mountedHere)
        removeMount(directory);
}
