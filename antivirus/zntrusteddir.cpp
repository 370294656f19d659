#include "zntrusteddir.h"

#include <QList>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

// `path` (absolute) without ".", ".." and empty components, taken by name
// alone; raw bytes stay as they are.
QByteArray lexicalPath(const QByteArray& path)
{
    QList<QByteArray> kept;
    for (const QByteArray& part : path.split('/')) {
        if (part == "..") {
            if (!kept.isEmpty())
                kept.removeLast();
        } else if (!part.isEmpty() && part != ".") {
            kept << part;
        }
    }
    QByteArray clean;
    for (const QByteArray& part : qAsConst(kept))
        clean += '/' + part;
    return clean.isEmpty() ? QByteArray("/") : clean;
}

// Whether nobody but root or the service's user can change the entries of
// the open directory `dir`.
bool isGuarded(int dir)
{
    struct stat info;
    if (::fstat(dir, &info) != 0)
        return false;
    const bool owned = info.st_uid == 0 || info.st_uid == ::geteuid();
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return owned && (!othersWrite || (info.st_mode & S_ISVTX) != 0);
}

KX2UniqueFd openDirectory(const QByteArray& path, int links, bool guarded)
{
    const int kMostLinks = 16;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (!path.startsWith('/') || links > kMostLinks)
        return KX2UniqueFd();
    const QList<QByteArray> parts = path.split('/');
    KX2UniqueFd dir(::open("/", flags));
    if (guarded && dir.isValid() && !isGuarded(dir.get()))
        return KX2UniqueFd();
    QByteArray walked;
    for (int i = 0; i < parts.size() && dir.isValid(); ++i) {
        const QByteArray& part = parts.at(i);
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return KX2UniqueFd();
        KX2UniqueFd next(::openat(dir.get(), part.constData(), flags));
        if (next.isValid()) {
            if (guarded && !isGuarded(next.get()))
                return KX2UniqueFd();
            dir = std::move(next);
            walked += '/' + part;
            continue;
        }
        const bool last = i == parts.size() - 1
            || std::all_of(parts.begin() + i + 1, parts.end(),
                           [](const QByteArray& p) { return p.isEmpty(); });
        if (last || (errno != ELOOP && errno != ENOTDIR))
            return KX2UniqueFd();
        KX2UniqueFd link(::openat(dir.get(), part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!link.isValid() || ::fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode)
            || (info.st_uid != 0 && info.st_uid != ::geteuid()))
            return KX2UniqueFd();
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t size = ::readlinkat(link.get(), "", target.data(), size_t(target.size()));
        if (size <= 0 || size >= target.size())
            return KX2UniqueFd();
        target.truncate(int(size));
        // The directories walked so far hold no link, so a ".." in a
        // relative target can be taken lexically.
        const QByteArray rest = QList<QByteArray>(parts.mid(i + 1)).join('/');
        const QByteArray joined =
            (target.startsWith('/') ? target : walked + '/' + target) + '/' + rest;
        return openDirectory(lexicalPath(joined), links + 1, guarded);
    }
    return dir;
}

} // namespace

KX2UniqueFd znOpenTrustedDir(const QByteArray& path, int links)
{
    return openDirectory(path, links, false);
}

KX2UniqueFd znOpenGuardedDir(const QByteArray& path)
{
    return openDirectory(path, 0, true);
}

ZNTrustedEntry::ZNTrustedEntry(const QByteArray& path) : name(znBaseName(path))
{
    if (path.startsWith('/') && !name.isEmpty() && name != "." && name != "..")
        dir = znOpenTrustedDir(znDirName(path));
}

bool ZNTrustedEntry::stat(struct stat& info) const
{
    return dir.isValid() && ::fstatat(dir.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

QByteArray znFormerRawPath(const QJsonObject& record)
{
    const QString hex = record.value(QLatin1String("rawpath")).toString();
    return hex.isEmpty() ? znRawPath(record.value(QLatin1String("path")).toString())
                         : QByteArray::fromHex(hex.toLatin1());
}

bool znPathExists(const QString& path)
{
    struct stat info;
    return znLstat(znRawPath(path), info);
}
