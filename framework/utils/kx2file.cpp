#include "kx2file.h"

#include "kx2uniquefd.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Digests are computed in chunks of this size, so a large file is never held
// in memory as a whole.
constexpr qint64 kDigestChunkSize = 4096;

bool makeParentDirectory(const QString& filePath)
{
    const QString directory = QFileInfo(filePath).absolutePath();
    return QDir().mkpath(directory);
}

// Removes what a directory entry is. Links are unlinked, never entered, so
// removal cannot escape the tree through a link to an outside directory.
void removeEntry(const QFileInfo& entry)
{
    if (entry.isSymLink()) {
        QFile::remove(entry.absoluteFilePath());
    } else if (entry.isDir()) {
        KX2File::removeDirs(entry.absoluteFilePath(), true);
    } else {
        QFile::remove(entry.absoluteFilePath());
    }
}

// Removes the contents of a directory, in name order. Entries that are not
// both readable and writable are left alone; the directory then survives and
// the caller sees that in the result. Links are always removed: a broken one
// would otherwise fail the permission test and keep the directory alive.
void removeContents(const QString& dirPath)
{
    const QFileInfoList entries = QDir(dirPath).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() || (entry.isReadable() && entry.isWritable())) {
            removeEntry(entry);
        }
    }
}

} // namespace

bool KX2File::loadBinary(QByteArray& bytes, const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray content = file.readAll();
    // A read error part-way would hand out a truncated file as if whole.
    if (file.error() != QFileDevice::NoError) {
        return false;
    }
    bytes = std::move(content);
    return true;
}

namespace {

std::atomic<unsigned> g_temporarySerial{0};

bool writeFully(int fd, const QByteArray& bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n > 0)
            written += n;
        else if (!(n < 0 && errno == EINTR))
            return false; // ENOSPC, EIO, EDQUOT...
    }
    return true;
}

// Makes a finished rename durable; a failure here loses nothing already
// visible, so it is not reported.
void syncDirectory(const QByteArray& directory)
{
    const KX2UniqueFd fd(::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.isValid())
        ::fsync(fd.get());
}

} // namespace

QString KX2File::temporaryPrefix(const QString& filePath)
{
    const QFileInfo info(filePath);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".tmp.");
}

bool KX2File::saveBinary(const QByteArray& bytes, const QString& filePath, mode_t mode)
{
    makeParentDirectory(filePath);
    const QByteArray target = QFile::encodeName(QFileInfo(filePath).absoluteFilePath());
    const QByteArray temporary = QFile::encodeName(temporaryPrefix(filePath))
        + QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(++g_temporarySerial);
    // Created without any permission the file must not have: the umask can
    // only take bits away, and fchmod() sets the exact ones before a byte is
    // written.
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          mode & 07777);
    if (fd < 0)
        return false;
    // The bytes must be on the disk before the rename makes them the file:
    // a write that fails, or one that only fails when flushed, keeps the
    // old content.
    bool ok = ::fchmod(fd, mode & 07777) == 0 && writeFully(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.constData(), target.constData()) == 0;
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    syncDirectory(QFile::encodeName(QFileInfo(filePath).absolutePath()));
    return true;
}

bool KX2File::restrictMode(const QString& filePath, mode_t mode)
{
    // Opened rather than chmod()ed by name, so that a link planted at the
    // name cannot redirect the change; O_NONBLOCK keeps a FIFO from
    // blocking the open.
    const KX2UniqueFd fd(::open(QFile::encodeName(filePath).constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isValid())
        return errno == ENOENT;
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const mode_t allowed = mode & 07777;
    if ((info.st_mode & 07777 & ~allowed) == 0)
        return true;
    return ::fchmod(fd.get(), info.st_mode & allowed) == 0;
}

int KX2File::removeStaleTemporaries(const QString& filePath)
{
    const QString prefix = temporaryPrefix(filePath);
    const QFileInfo prefixInfo(prefix);
    const QDir directory(prefixInfo.absolutePath());
    const QString namePrefix = prefixInfo.fileName();
    int removed = 0;
    const QStringList names = directory.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (!name.startsWith(namePrefix))
            continue;
        const QStringList parts = name.mid(namePrefix.size()).split(QLatin1Char('.'));
        bool pidOk = false;
        bool serialOk = false;
        const qint64 pid = parts.value(0).toLongLong(&pidOk);
        parts.value(1).toUInt(&serialOk);
        if (parts.size() != 2 || !pidOk || !serialOk || pid <= 0)
            continue;
        // A writer that still runs may be about to rename its file.
        if (pid == ::getpid() || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        if (QFile::remove(directory.filePath(name)))
            ++removed;
    }
    return removed;
}

QByteArray KX2File::readAll(const QString& filePath)
{
    QByteArray bytes;
    loadBinary(bytes, filePath);
    return bytes;
}

bool KX2File::loadJson(QJsonObject& object, const QString& filePath)
{
    QByteArray bytes;
    if (!loadBinary(bytes, filePath)) {
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        return false;
    }
    object = document.object();
    return true;
}

QJsonObject KX2File::readJsonObject(const QString& filePath)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(readAll(filePath), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return QJsonObject();
    }
    return document.object();
}

bool KX2File::saveJson(const QString& filePath, const QJsonValue& value, bool compact,
                       mode_t mode)
{
    QJsonDocument document;
    if (value.isObject()) {
        document = QJsonDocument(value.toObject());
    } else if (value.isArray()) {
        document = QJsonDocument(value.toArray());
    } else {
        return false;
    }
    if (!makeParentDirectory(filePath)) {
        return false;
    }
    const QJsonDocument::JsonFormat format =
        compact ? QJsonDocument::Compact : QJsonDocument::Indented;
    return saveBinary(document.toJson(format), filePath, mode);
}

bool KX2File::removeDirs(const QString& dirPath, bool removeSelf)
{
    const QFileInfo self(dirPath);
    if (self.isSymLink()) {
        // The caller named a link. Its target is never emptied: a link
        // planted in a work area would otherwise send this process's
        // deletions anywhere on the system. The link itself goes only when
        // the caller asked for the path to go (removeSelf); emptying
        // "the directory" leaves it untouched.
        if (removeSelf)
            QFile::remove(self.absoluteFilePath());
    } else {
        if (self.isDir()) {
            removeContents(dirPath);
        }
        if (removeSelf) {
            QDir().rmdir(self.absoluteFilePath());
        }
    }
    return !QDir(dirPath).exists();
}

QString KX2File::fileMd5(const QString& filePath)
{
    QFile file(filePath);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    const qint64 size = file.size();
    qint64 done = 0;
    while (done < size) {
        const QByteArray chunk = file.read(qMin(kDigestChunkSize, size - done));
        // A file that shrank while being read has no digest of its own
        // bytes; stop rather than wait for bytes that never come.
        if (chunk.isEmpty()) {
            return QString();
        }
        hash.addData(chunk);
        done += chunk.size();
    }
    return QString::fromLatin1(hash.result().toHex());
}
