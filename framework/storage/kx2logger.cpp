#include "kx2logger.h"

#include "kx2file.h"
#include "kx2lfqueue.h"
#include "kx2threadgroup.h"
#include "kx2threadsafety.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMetaEnum>

#include <atomic>
#include <cstdarg>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The log file's and its backups' permissions.
constexpr mode_t kLogFileMode = 0600;

} // namespace

// State of one logger.
//
// Threads: the settings are written by whoever configures the logger and
// read by write() callers and the background writer, so they are atomics,
// except `filePath`, a QString, which is copied under `pathMutex`;
// `hasFilePath` mirrors its emptiness so that a queued write() never takes a
// lock, and `pathVersion` counts changes of it so that a writer that failed
// on one path can tell that a new one was set. `queue` is lock-free.
// `running` elects the single background writer. The writer threads belong
// to `writerThreads`, which joins them (an ended one at the next start,
// every one in the destructor), so none can touch this object once it is
// gone.
class KX2LoggerPrivate
{
public:
    enum class DrainResult { Empty, Failed };

    QString filePath KX2_GUARDED_BY(pathMutex);
    std::atomic<qint64> maxSize{10485760};
    std::atomic<int> backups{10};
    std::atomic<bool> output{true};
    std::atomic<bool> immediate{true};
    KX2LFQueue<QByteArray> queue;
    std::atomic<bool> running{false};
    std::atomic<bool> stopped{false};

    static std::atomic<KX2Logger*> g_instance;
    static KX2Mutex g_instancesMutex;
    static QList<KX2Logger*> g_instances KX2_GUARDED_BY(g_instancesMutex);

    mutable KX2Mutex pathMutex;
    std::atomic<bool> hasFilePath{false};
    std::atomic<int> pathVersion{0};

    QString currentFilePath() const;
    void dispatch(const QByteArray& line);
    void writeImmediately(const QByteArray& line);
    void enqueue(const QByteArray& line);

    void startWriter();
    void runWriter();
    DrainResult drainQueue(const QString& path);
    bool shouldContinue(DrainResult result, int versionUsed);

    QString backupName(const QString& path, int number) const;
    void restrictExistingFiles();
    void backupFile(const QString& path);
    int backupCount();

    // Last, so that it is destroyed first: its threads use the members above.
    KX2ThreadGroup writerThreads;
};

std::atomic<KX2Logger*> KX2LoggerPrivate::g_instance{nullptr};
KX2Mutex KX2LoggerPrivate::g_instancesMutex;
QList<KX2Logger*> KX2LoggerPrivate::g_instances;

namespace {

// Makes the directory holding `path` (all levels). False when it does not
// exist afterwards.
bool ensureDirectoryOf(const QString& path)
{
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    return QDir(dir).exists();
}

// Opens the log for appending. A new file is made readable and writable
// by its owner only (0600), whatever the umask: the events name users'
// files. A file that others may read or write (an earlier version made it
// so) loses those permissions here. `file` takes the descriptor (and so
// forgets its name: `path` names the file every time).
bool openForAppend(QFile& file, const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode);
    struct stat info
    {};
    if (fd < 0 || ::fstat(fd, &info) != 0
        || ((info.st_mode & 077) != 0 && ::fchmod(fd, info.st_mode & kLogFileMode) != 0)
        || !file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                      QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    return true;
}

// Bytes a line takes in the file. The newline counts towards the size
// limit, so a log never ends up even one byte over it.
qint64 recordSize(const QByteArray& line)
{
    return line.size() + 1;
}

// One write of the line with its newline, so that appends from several
// processes or threads never split a line.
bool appendLine(QFile& file, const QByteArray& line)
{
    const QByteArray record = line + '\n';
    const bool written = file.write(record) == record.size();
    return file.flush() && written;
}

} // namespace

QString KX2LoggerPrivate::currentFilePath() const
{
    KX2MutexLocker lock(pathMutex);
    return filePath;
}

void KX2LoggerPrivate::dispatch(const QByteArray& line)
{
    if (immediate.load())
        writeImmediately(line);
    else
        enqueue(line);
}

void KX2LoggerPrivate::writeImmediately(const QByteArray& line)
{
    const QString path = currentFilePath();
    if (path.isEmpty() || !ensureDirectoryOf(path))
        return;
    const qint64 limit = maxSize.load();
    if (limit > 0 && QFileInfo(path).size() + recordSize(line) > limit)
        backupFile(path);
    QFile file;
    if (!openForAppend(file, path))
        return;
    appendLine(file, line);
}

// Hand-over with a writer that is about to end: the line is pushed and
// counted before `running` is exchanged, and a writer that found the queue
// empty clears `running` before it reads the count again (runWriter). All
// of these are sequentially consistent, so either that writer sees the count
// and carries on, or this exchange sees `running` cleared and starts a new
// writer. Either way the line is written without waiting for a later write.
void KX2LoggerPrivate::enqueue(const QByteArray& line)
{
    queue.push(line);
    queue.count.fetch_add(1);
    if (!running.exchange(true))
        startWriter();
}

void KX2LoggerPrivate::startWriter()
{
    // No thread: the lines wait for the next queued write to try again.
    if (!writerThreads.start([this] { runWriter(); }))
        running.store(false);
}

void KX2LoggerPrivate::runWriter()
{
    for (;;) {
        // The version is read before the path: a path newer than the version
        // only causes one needless extra round, never a missed one.
        const int version = pathVersion.load();
        const DrainResult result = drainQueue(currentFilePath());
        running.store(false);
        if (!shouldContinue(result, version))
            break;
    }
}

// Called after clearing `running`. Lines may have been pushed since the
// last pop, or left behind by a failure; their writers saw `running` still
// set and started no successor. Carry on when that is the case, unless a
// successor has started meanwhile. After a failure, carry on only when the
// path has changed since: retrying the same path at once would only spin,
// so those lines wait for the next queued write.
bool KX2LoggerPrivate::shouldContinue(DrainResult result, int versionUsed)
{
    if (queue.count.load() <= 0)
        return false;
    if (result == DrainResult::Failed && pathVersion.load() == versionUsed)
        return false;
    return !running.exchange(true);
}

KX2LoggerPrivate::DrainResult KX2LoggerPrivate::drainQueue(const QString& path)
{
    stopped.store(false);
    QFile file;
    qint64 size = QFileInfo(path).size();
    QByteArray line;
    while (queue.pop(line)) {
        queue.count.fetch_sub(1);
        if (path.isEmpty() || !ensureDirectoryOf(path))
            return DrainResult::Failed;
        const qint64 limit = maxSize.load();
        if (limit > 0 && size + recordSize(line) > limit) {
            file.close();
            backupFile(path);
            size = 0;
        }
        if (!file.isOpen()) {
            if (!openForAppend(file, path)) {
                stopped.store(true);
                return DrainResult::Failed;
            }
            size = file.size();
        }
        appendLine(file, line);
        size += recordSize(line);
    }
    return DrainResult::Empty;
}

int KX2LoggerPrivate::backupCount()
{
    int count = backups.load();
    if (count < 1) {
        count = 1;
        backups.store(count);
    }
    return count;
}

QString KX2LoggerPrivate::backupName(const QString& path, int number) const
{
    const QFileInfo info(path);
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.')
        + QString::number(number) + QLatin1Char('.') + info.suffix();
}

// Moves the log into the lowest free backup number; when all are taken,
// drops backup 1 (the oldest), shifts the others down by one and makes the
// log the highest.
void KX2LoggerPrivate::backupFile(const QString& path)
{
    const int count = backupCount();
    for (int number = 1; number <= count; ++number) {
        const QString name = backupName(path, number);
        if (!QFileInfo::exists(name)) {
            QFile::rename(path, name);
            return;
        }
    }
    QFile::remove(backupName(path, 1));
    for (int number = 2; number <= count; ++number)
        QFile::rename(backupName(path, number), backupName(path, number - 1));
    QFile::rename(path, backupName(path, count));
}

// Closes the log and the backups an earlier version left readable by others.
void KX2LoggerPrivate::restrictExistingFiles()
{
    const QString path = currentFilePath();
    if (path.isEmpty())
        return;
    KX2File::restrictMode(path, kLogFileMode);
    for (int number = 1; number <= backupCount(); ++number)
        KX2File::restrictMode(backupName(path, number), kLogFileMode);
}

KX2Logger::KX2Logger(QObject* parent) : QObject(parent), d(std::make_unique<KX2LoggerPrivate>())
{
    KX2MutexLocker lock(KX2LoggerPrivate::g_instancesMutex);
    KX2LoggerPrivate::g_instances.append(this);
    KX2LoggerPrivate::g_instance.store(this);
}

KX2Logger::~KX2Logger()
{
    {
        // Only this logger leaves the list; the current one stays current
        // unless it is this one, in which case the newest survivor takes over.
        KX2MutexLocker lock(KX2LoggerPrivate::g_instancesMutex);
        KX2LoggerPrivate::g_instances.removeAll(this);
        if (KX2LoggerPrivate::g_instance.load() == this) {
            KX2LoggerPrivate::g_instance.store(KX2LoggerPrivate::g_instances.isEmpty()
                                                   ? nullptr
                                                   : KX2LoggerPrivate::g_instances.last());
        }
    }
    // A running writer drains the queue before it ends, so the lines
    // written before this point are in the file when the state goes away.
    d->writerThreads.shutdownAndWait();
}

KX2Logger* KX2Logger::i()
{
    return KX2LoggerPrivate::g_instance.load();
}

void KX2Logger::setCurrentInstance()
{
    KX2MutexLocker lock(KX2LoggerPrivate::g_instancesMutex);
    KX2LoggerPrivate::g_instance.store(this);
}

QString KX2Logger::filePath() const
{
    return d->currentFilePath();
}

void KX2Logger::setFilePath(const QString& filePath)
{
    {
        KX2MutexLocker lock(d->pathMutex);
        d->filePath = filePath;
        d->hasFilePath.store(!filePath.isEmpty());
        d->pathVersion.fetch_add(1);
    }
    d->restrictExistingFiles();
}

qint64 KX2Logger::maxSize() const
{
    return d->maxSize.load();
}

void KX2Logger::setMaxSize(qint64 maxSize)
{
    d->maxSize.store(maxSize);
}

int KX2Logger::backups() const
{
    return d->backups.load();
}

void KX2Logger::setBackups(int backups)
{
    d->backups.store(backups);
    d->restrictExistingFiles();
}

bool KX2Logger::output() const
{
    return d->output.load();
}

void KX2Logger::setOutput(bool output)
{
    d->output.store(output);
}

bool KX2Logger::immediate() const
{
    return d->immediate.load();
}

void KX2Logger::setImmediate(bool immediate)
{
    d->immediate.store(immediate);
}

QString KX2Logger::write(int level, const QString& label1, const QString& label2, int line,
                         const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QString message = QString::vasprintf(format, args);
    va_end(args);

    QString text = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    if (const char* name = QMetaEnum::fromType<LogLevel>().valueToKey(level))
        text += QLatin1String(name);
    if (!label1.isEmpty())
        text += QLatin1Char(' ') + label1;
    if (!label2.isEmpty())
        text += QLatin1Char(' ') + label2;
    if (line > 0)
        text += QStringLiteral(" #") + QString::number(line);
    text += QLatin1Char(' ') + message;
    text = text.trimmed();

    if (d->output.load() && d->hasFilePath.load())
        d->dispatch(text.toUtf8());
    return text;
}

void KX2Logger::clean()
{
    const QString path = d->currentFilePath();
    if (path.isEmpty())
        return;
    QFile::remove(path);
    // The numbered backups go except the highest one, the newest: it keeps
    // the last lines written before the clean-up.
    const int count = d->backupCount();
    for (int number = 1; number < count; ++number)
        QFile::remove(d->backupName(path, number));
}
