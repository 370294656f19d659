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
#include "zntrace.h"
#include "znvirusdbdownload.h"

namespace {

const QLatin1String kDescriptionFile("virusdb.json");

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// Copies `from` to `to` through a temporary file beside `to` that is synced
// and renamed over it, so `to` never holds a partial copy.
bool copyWhole(const QString& from, const QString& to)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QSaveFile target(to);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer;
    while (!(buffer = source.read(1 << 20)).isEmpty()) {
        if (target.write(buffer) != buffer.size()) {
            target.cancelWriting();
            break;
        }
    }
    if (source.error() != QFileDevice::NoError)
        target.cancelWriting();
    return target.commit();
}

// Moves the file `from` to `to`, replacing a file there. Within one file
// system this is one rename; across file systems the content is copied whole
// first and the source removed afterwards.
bool moveFile(const QString& from, const QString& to)
{
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    return copyWhole(from, to) && QFile::remove(from);
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
    if (from.isEmpty() || !QFileInfo(from).isDir()) {
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
    const QDir source(from);
    bool listed = false;
    const QStringList names = relocatedNames(source, listed);
    if (names.isEmpty())
        return ZNRelocation::Failed;

    // A target that contains the source keeps its content (emptying it
    // would delete the source); moved files replace their namesakes.
    if (!isInside(from, target))
        KX2File::removeDirs(target, false);
    QDir().mkpath(target);
    if (!QFileInfo(target).isDir()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库文件夹: ") + target);
        return ZNRelocation::TargetFailed;
    }

    // A listed description stops at its first failure; a plain listing
    // moves what it can and fails afterwards.
    bool failed = false;
    for (const QString& name : names) {
        if (moveFile(source.filePath(name), QDir(target).filePath(name)))
            continue;
        if (listed && name == kDescriptionFile)
            continue; // its outcome does not matter
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("移动文件失败: ") + source.absoluteFilePath(name));
        failed = true;
        if (listed)
            break;
    }
    syncPath(target);
    return failed ? ZNRelocation::Failed : ZNRelocation::Moved;
}
