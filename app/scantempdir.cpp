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
        const QByteArray path = QFile::encodeName(QStringLiteral("/run/") + name);
        ::umount2(path.constData(), MNT_DETACH | UMOUNT_NOFOLLOW);
        ::rmdir(path.constData());
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
    // One left by an earlier process of the same number.
    ::umount2(own.constData(), MNT_DETACH | UMOUNT_NOFOLLOW);
    ::rmdir(own.constData());
    if (::mkdir(own.constData(), 0700) != 0)
        return;
    if (::mount("znantivirus-scantmp", own.constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=25%,mode=0700")
            != 0
        || !isPrivateTmpfs(own)) {
        ::umount2(own.constData(), MNT_DETACH | UMOUNT_NOFOLLOW);
        ::rmdir(own.constData());
        return;
    }
    directory = own;
    mountedHere = true;
}

ScanTempDir::~ScanTempDir()
{
    if (!mountedHere)
        return;
    // Detached, so that nothing left open there keeps it: the memory goes
    // with the last user.
    ::umount2(directory.constData(), MNT_DETACH | UMOUNT_NOFOLLOW);
    ::rmdir(directory.constData());
}
