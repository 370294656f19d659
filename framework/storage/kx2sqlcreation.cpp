#include "kx2sqlcreation.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2uniquefd.h"

// Creates a missing database directory. Only a directory made here gets
// mode 755; an existing one keeps the mode its owner chose.
void ensureDirectory(const QString& dirPath)
{
    if (QFileInfo::exists(dirPath))
        return;
    if (!QDir().mkpath(dirPath))
        return; // opening the file will report the failure
    QFile::setPermissions(dirPath,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                              | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

// Temporary files of a creation: ".<name>.creating.<pid>.<serial>", plus
// SQLite's own side files of it.
QString creationPrefix(const QFileInfo& target)
{
    return target.absolutePath() + QStringLiteral("/.") + target.fileName()
        + QStringLiteral(".creating.");
}

std::atomic<unsigned> g_creationSerial{0};

// Removes what creations of processes that no longer run left behind.
void removeStaleCreations(const QFileInfo& target)
{
    const QFileInfo prefix(creationPrefix(target));
    const QDir directory(prefix.absolutePath());
    const QString namePrefix = prefix.fileName();
    const QStringList names = directory.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (!name.startsWith(namePrefix))
            continue;
        bool ok = false;
        const qint64 pid =
            name.mid(namePrefix.size()).section(QLatin1Char('.'), 0, 0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(directory.filePath(name));
    }
}

void restrictDatabaseModes(const QString& path)
{
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        KX2File::restrictMode(path + QLatin1String(suffix), kKX2DatabaseMode);
}

void removeCreation(const QString& temporary)
{
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(temporary + QLatin1String(suffix));
}

bool syncPath(const QString& path, int flags)
{
    const KX2UniqueFd fd(::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC));
    return fd.isValid() && ::fsync(fd.get()) == 0;
}

bool readTextFile(const QString& path, QString* text)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    *text = stream.readAll().trimmed();
    return true;
}
