#include "scantempdir.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace {

const char kMountPoint[] = "/run/znantivirus-scantmp";

} // namespace

QString ScanTempDir::providedDir()
{
    struct stat own;
    struct stat parent;
    struct statfs fs;
    const bool provided = ::lstat(kMountPoint, &own) == 0 && S_ISDIR(own.st_mode)
        && own.st_uid == 0 && (own.st_mode & 077) == 0 && ::stat("/run", &parent) == 0
        && own.st_dev != parent.st_dev && ::statfs(kMountPoint, &fs) == 0
        && fs.f_type == TMPFS_MAGIC;
    return provided ? QString::fromLatin1(kMountPoint) : QString();
}
