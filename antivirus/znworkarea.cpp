#include "znworkarea.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zntrusteddir.h"

namespace {

const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The service's own directories in a work area.
const char* const kOwnDirs[] = {".qra",          "virusdb",     "virusdb.new", "virusdb.good",
                                "virusdb.old",   "virusdb.broken", ".cache"};
// Those whose files are loaded as signatures.
const char* const kSetDirs[] = {"virusdb", "virusdb.good"};

bool isServiceOwned(const struct stat& info)
{
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

// Owned by the service and writable by nobody else.
bool isPrivate(const struct stat& info)
{
    return isServiceOwned(info) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A link of root's may name the work area: "/." makes the walk follow the
// last component like the ones before it.
KX2UniqueFd openGuarded(const QByteArray& path)
{
    return znOpenGuardedDir(path + "/.");
}

// The directory `name` of the work area at `path`: a real directory, or a
// link of root's to a directory that passes the same walk as the work
// area (an administrator may keep the signatures elsewhere). Invalid
// otherwise.
KX2UniqueFd openOwnDir(int area, const QString& path, const char* name)
{
    struct stat info;
    if (::fstatat(area, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        return isServiceOwned(info)
            ? openGuarded(QFile::encodeName(QDir(path).filePath(QString::fromLatin1(name))))
            : KX2UniqueFd();
    return KX2UniqueFd(::openat(area, name, kDirFlags));
}

// Whether every file in the set directory `set` is the service's own and
// writable by nobody else.
bool setFilesArePrivate(const KX2UniqueFd& set)
{
    if (!set.isValid())
        return true; // judged with the directories
    DIR* listing = ::fdopendir(::dup(set.get()));
    if (!listing)
        return false;
    bool allPrivate = true;
    while (const dirent* entry = ::readdir(listing)) {
        struct stat info;
        if (::fstatat(set.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
            && !S_ISDIR(info.st_mode) && !isPrivate(info))
            allPrivate = false;
    }
    ::closedir(listing);
    return allPrivate;
}

// The nearest directory at or above `path` that exists.
QString nearestExisting(QString path)
{
    while (!QFileInfo::exists(path) && path != QLatin1String("/"))
        path = QFileInfo(path).absolutePath();
    return path;
}

} // namespace

QString znWorkAreaFault(const QString& path)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    const KX2UniqueFd area = openGuarded(QFile::encodeName(nearestExisting(absolute)));
    if (!area.isValid())
        return QStringLiteral("工作区不安全（路径上的目录其他用户可以修改）: ") + absolute;
    if (!QFileInfo::exists(absolute))
        return QString();
    for (const char* name : kOwnDirs) {
        struct stat info;
        if (::fstatat(area.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // The quarantine is always a real directory: files are moved into
        // it through its descriptor.
        const bool linkAllowed = qstrcmp(name, ".qra") != 0;
        const KX2UniqueFd dir = S_ISLNK(info.st_mode) && !linkAllowed
            ? KX2UniqueFd()
            : openOwnDir(area.get(), absolute, name);
        if (!dir.isValid() || ::fstat(dir.get(), &info) != 0 || !isPrivate(info))
            return QStringLiteral("工作区不安全（目录不属于本服务或其他用户可写）: ")
                + QDir(absolute).filePath(QString::fromLatin1(name));
    }
    for (const char* name : kSetDirs) {
        if (!setFilesArePrivate(openOwnDir(area.get(), absolute, name)))
            return QStringLiteral("工作区不安全（病毒库文件不属于本服务或其他用户可写）: ")
                + QDir(absolute).filePath(QString::fromLatin1(name));
    }
    return QString();
}

KX2UniqueFd znOpenWorkArea(const QString& path)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    const QString existing = nearestExisting(absolute);
    KX2UniqueFd dir = openGuarded(QFile::encodeName(existing));
    const QString missing = absolute.mid(existing.size());
    for (const QString& part : missing.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!dir.isValid())
            break;
        dir = znOpenWorkDir(dir.get(), QFile::encodeName(part));
    }
    return dir;
}

KX2UniqueFd znOpenWorkDir(int area, const QByteArray& name)
{
    const bool made = ::mkdirat(area, name.constData(), 0700) == 0;
    KX2UniqueFd dir(::openat(area, name.constData(), kDirFlags));
    struct stat info;
    if (!dir.isValid() || ::fstat(dir.get(), &info) != 0 || !isPrivate(info))
        return KX2UniqueFd();
    // The umask may have taken bits away, never added them; a directory
    // made here is the service's alone.
    if (made && (info.st_mode & 07777) != 0700)
        ::fchmod(dir.get(), 0700);
    return dir;
}

KX2UniqueFd znOpenQuarantineDir(const QByteArray& quarantine)
{
    const int slash = quarantine.lastIndexOf('/');
    if (slash <= 0)
        return KX2UniqueFd();
    const KX2UniqueFd area = znOpenWorkArea(QFile::decodeName(quarantine.left(slash)));
    return area.isValid() ? znOpenWorkDir(area.get(), quarantine.mid(slash + 1)) : KX2UniqueFd();
}
