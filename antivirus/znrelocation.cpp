#include "znrelocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2uniquefd.h"
#include "zntrace.h"
#include "znvirusdbdownload.h"

namespace {

const QLatin1String kDescriptionFile("virusdb.json");

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// Copies the open regular file `source` to `to` through a temporary file
// beside `to` that is synced and renamed over it, so `to` never holds a
// partial copy.
bool copyWhole(int source, const QString& to)
{
    QSaveFile target(to);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly))
        return false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            target.cancelWriting();
            break;
        }
        if (got == 0 || target.write(buffer, got) != got)
            break;
    }
    return target.commit();
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Moves the regular file `name` of the directory `from` to `to`, replacing
// a file there. The old directory may belong to a user: the file is opened
// without following a link, and only that very file is moved (a name
// swapped meanwhile for a link is taken back out of the target). Within one
// file system this is one rename; across file systems the opened file's
// content is copied whole first and the name removed afterwards.
bool moveFile(int from, const QByteArray& name, const QString& to)
{
    const KX2UniqueFd file(
        ::openat(from, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!file.isValid() || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("不是普通文件，未移动: ") + QFile::decodeName(name));
        return false;
    }
    const QByteArray target = nativePath(to);
    if (::renameat(from, name.constData(), AT_FDCWD, target.constData()) == 0) {
        struct stat moved;
        if (::lstat(target.constData(), &moved) == 0 && sameFile(moved, opened))
            return true;
        ::unlink(target.constData());
        return false;
    }
    if (errno != EXDEV || !copyWhole(file.get(), to))
        return false;
    struct stat still;
    if (::fstatat(from, name.constData(), &still, AT_SYMLINK_NOFOLLOW) == 0
        && sameFile(still, opened))
        ::unlinkat(from, name.constData(), 0);
    return true;
}

// Flushes a directory's entries to the disk.
void syncPath(const QString& path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// The same directory, however it is written: same device and inode.
bool isSameDirectory(const QString& a, const QString& b)
{
    struct stat first
    {
    }, second{};
    return ::stat(nativePath(a).constData(), &first) == 0
        && ::stat(nativePath(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// Whether `inner` lies somewhere below `outer` (both existing).
bool isInside(const QString& inner, const QString& outer)
{
    const QString a = QFileInfo(inner).canonicalFilePath();
    const QString b = QFileInfo(outer).canonicalFilePath();
    return !a.isEmpty() && !b.isEmpty() && a.startsWith(b + QLatin1Char('/'));
}

// The files a relocation moves out of `from`, in order: the items of its
// own description followed by the description itself, or else its regular
// files. Empty when there is nothing (valid) to move. `listed` tells which.
QStringList relocatedNames(const QDir& from, bool& listed)
{
    QStringList names;
    listed = false;
    QJsonObject description;
    if (KX2File::loadJson(description, from.filePath(kDescriptionFile))) {
        const QJsonArray items = description.value(QLatin1String("items")).toArray();
        if (items.isEmpty() || !znCheckDescriptionItems(items))
            return QStringList();
        for (const QJsonValue& item : items)
            names << item.toObject().value(QLatin1String("file")).toString();
        names << kDescriptionFile;
        listed = true;
        return names;
    }
    const QFileInfoList files =
        from.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& file : files)
        names << file.fileName();
    return names;
}

} // namespace

ZNRelocation znRelocateVirusdb(const QString& from, const QString& to)
{
    // The old directory itself is never reached through a link: a user who
    // owns the old work area could point it anywhere.
    const KX2UniqueFd source(from.isEmpty()
                                 ? -1
                                 : ::open(nativePath(from).constData(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source.isValid()) {
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("旧目录不存在: ") + QFileInfo(from).absoluteFilePath());
        return ZNRelocation::Missing;
    }
    const QString target = QFileInfo(to).absoluteFilePath();
    // One directory written two ways: emptying the target would empty the
    // source.
    if (isSameDirectory(from, target))
        return ZNRelocation::Same;
    // Known before the target is touched: with nothing to move, the files
    // already at the target stay where they are.
    bool listed = false;
    // Listed through the opened directory, whatever its name points at now.
    const QStringList names =
        relocatedNames(QDir(QStringLiteral("/proc/self/fd/%1").arg(source.get())), listed);
    if (names.isEmpty())
        return ZNRelocation::Failed;

    // A target that contains the source keeps its content (emptying it
    // would delete the source); moved files replace their namesakes.
    if (!isInside(from, target)) {
        // A link in the target's place goes (only the link): the files must
        // land in a real directory of the work area, not wherever it points.
        if (QFileInfo(target).isSymLink())
            QFile::remove(target);
        KX2File::removeDirs(target, false);
    }
    QDir().mkpath(target);
    if (!QFileInfo(target).isDir()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库文件夹: ") + target);
        return ZNRelocation::TargetFailed;
    }

    // A listed description stops at its first failure; a plain listing
    // moves what it can and fails afterwards.
    bool failed = false;
    for (const QString& name : names) {
        if (moveFile(source.get(), QFile::encodeName(name), QDir(target).filePath(name)))
            continue;
        if (listed && name == kDescriptionFile)
            continue; // its outcome does not matter
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("移动文件失败: ") + QDir(from).absoluteFilePath(name));
        failed = true;
        if (listed)
            break;
    }
    syncPath(target);
    return failed ? ZNRelocation::Failed : ZNRelocation::Moved;
}
