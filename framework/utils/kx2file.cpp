#include "kx2file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

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
            QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDir::Name);
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

bool KX2File::saveBinary(const QByteArray& bytes, const QString& filePath)
{
    makeParentDirectory(filePath);
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    // Without commit() the temporary file is discarded and the target keeps
    // its previous content.
    if (file.write(bytes) != bytes.size()) {
        return false;
    }
    return file.commit();
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

bool KX2File::saveJson(const QString& filePath, const QJsonValue& value, bool compact)
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
    const QJsonDocument::JsonFormat format = compact ? QJsonDocument::Compact
                                                     : QJsonDocument::Indented;
    return saveBinary(document.toJson(format), filePath);
}

bool KX2File::removeDirs(const QString& dirPath, bool removeSelf)
{
    const QFileInfo self(dirPath);
    if (self.isSymLink()) {
        // The caller named a link, with or without removeSelf: only the link
        // goes. Emptying what it points at would let a link planted in a
        // work area send this process's deletions anywhere on the system.
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
