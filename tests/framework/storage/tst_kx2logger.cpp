#include "kx2logger.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QStringList linesOf(const QString& path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Waits until the file has reached `size` bytes. Polls with a stat only, so
// it notices the moment a line lands.
bool waitForSize(const QString& path, qint64 size, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (QFileInfo(path).size() < size) {
        if (deadline.hasExpired())
            return false;
        QThread::yieldCurrentThread();
    }
    return true;
}

// Lines of the log and all of its numbered backups.
QStringList allLines(const QDir& dir)
{
    QStringList lines;
    const QStringList names = dir.entryList({QStringLiteral("app*.log")}, QDir::Files);
    for (const QString& name : names)
        lines += linesOf(dir.filePath(name));
    return lines;
}

} // namespace

class TestKX2Logger : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void lineFormat();
    void writesNothingWithoutFileOrOutput();
    void immediateModeAppendsAndMakesDirectories();
    void logAndBackupsAreOwnersOnly();
    void rotationStartsNewFileBeforeLimitIsPassed();
    void rotationFillsTheLowestGap();
    void rotationShiftsWhenAllBackupsExist();
    void rotationWithBackupsBelowOne();
    void backupNameWithoutSuffix();
    void cleanRemovesLogAndBackups();
    void cleanWithOneBackupKeepsIt();
    void queuedModeLosesNoLineUnderManyThreads();
    void queuedModeRotates();
    void queuedLineIsWrittenWithoutALaterWrite();
    void queuedWriterRecoversAfterOpenFailure();
    void destructionWaitsForPendingLines();
    void instanceList();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString logPath() const { return m_dir->filePath(QStringLiteral("app.log")); }
    QString backupPath(int number) const
    {
        return m_dir->filePath(QStringLiteral("app.%1.log").arg(number));
    }
};

void TestKX2Logger::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestKX2Logger::lineFormat()
{
    KX2Logger logger;
    const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} "));

    QString line = logger.write(KX2Logger::Warn, QStringLiteral("scan"), QStringLiteral("worker"),
                                42, "file %s failed with %d", "/a/b", 7);
    QVERIFY(stamp.match(line).hasMatch());
    QCOMPARE(line.mid(20), QStringLiteral("Warn scan worker #42 file /a/b failed with 7"));

    // Empty labels and a line of 0 are left out; UTF-8 arguments survive.
    line = logger.write(KX2Logger::DB, QString(), QString(), 0, "%s", "数据库错误");
    QCOMPARE(line.mid(20), QStringLiteral("DB 数据库错误"));

    // A level without a name leaves a gap of two spaces inside the line.
    line = logger.write(7, QString(), QString(), -3, "plain");
    QCOMPARE(line.mid(19), QStringLiteral("  plain"));

    // Trailing white space of the message is trimmed.
    line = logger.write(KX2Logger::MemTrace, QStringLiteral("x"), QString(), 1, "end \n\t");
    QCOMPARE(line.mid(20), QStringLiteral("MemTrace x #1 end"));
}

void TestKX2Logger::writesNothingWithoutFileOrOutput()
{
    KX2Logger logger;
    QVERIFY(logger.filePath().isEmpty());
    const QString line = logger.write(KX2Logger::Info, QString(), QString(), 0, "hello");
    QVERIFY(line.endsWith(QStringLiteral("Info hello")));
    QVERIFY(QDir(m_dir->path()).isEmpty());

    logger.setFilePath(logPath());
    logger.setOutput(false);
    logger.write(KX2Logger::Info, QString(), QString(), 0, "hidden");
    logger.setImmediate(false);
    logger.write(KX2Logger::Info, QString(), QString(), 0, "hidden");
    QVERIFY(!QFileInfo::exists(logPath()));
}

void TestKX2Logger::immediateModeAppendsAndMakesDirectories()
{
    KX2Logger logger;
    const QString path = m_dir->filePath(QStringLiteral("a/b/c/app.log"));
    logger.setFilePath(path);
    QVERIFY(logger.immediate());
    const QString first = logger.write(KX2Logger::Info, QString(), QString(), 0, "one");
    const QString second = logger.write(KX2Logger::Error, QString(), QString(), 0, "two");
    // Immediate: the lines are in the file when write() returns.
    QCOMPARE(linesOf(path), (QStringList{first, second}));
}

namespace {

int modeOf(const QString& path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

// The events name users' files: no umask and no file an earlier version
// left 0644 makes the log or a backup readable by others, in either mode.
void TestKX2Logger::logAndBackupsAreOwnersOnly()
{
    const mode_t oldMask = ::umask(0);
    writeFile(backupPath(1), "old backup\n");
    QCOMPARE(modeOf(backupPath(1)), 0666);
    {
        KX2Logger logger;
        logger.setFilePath(logPath());
        QCOMPARE(modeOf(backupPath(1)), 0600);
        logger.write(KX2Logger::Info, QString(), QString(), 0, "created");
        QCOMPARE(modeOf(logPath()), 0600);
        QVERIFY(QFile::remove(logPath()));
        writeFile(logPath(), "old log\n");
        logger.setImmediate(false);
        logger.write(KX2Logger::Info, QString(), QString(), 0, "queued");
    } // waits for the queued line
    QVERIFY(readFile(logPath()).endsWith("queued\n"));
    QCOMPARE(modeOf(logPath()), 0600);
    ::umask(oldMask);
}

void TestKX2Logger::rotationStartsNewFileBeforeLimitIsPassed()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    const QByteArray old(90, 'o');
    writeFile(logPath(), old);

    // Lines that still fit exactly (newline included) leave the file alone.
    logger.setMaxSize(90 + 28);
    const QString shortLine = logger.write(KX2Logger::Info, QString(), QString(), 0, "ab");
    QCOMPARE(shortLine.toUtf8().size(), 27);
    logger.setMaxSize(90 + 28 + 28);
    logger.write(KX2Logger::Info, QString(), QString(), 0, "cd");
    QVERIFY(!QFileInfo::exists(backupPath(1)));
    QCOMPARE(QFileInfo(logPath()).size(), qint64(90 + 28 + 28));

    // One byte over: the file becomes backup 1 and the line starts a new log.
    logger.setMaxSize(90 + 28 + 28 + 27);
    const QString line = logger.write(KX2Logger::Info, QString(), QString(), 0, "ef");
    QVERIFY(readFile(backupPath(1)).startsWith(old));
    QCOMPARE(QFileInfo(backupPath(1)).size(), qint64(90 + 28 + 28));
    QCOMPARE(linesOf(logPath()), QStringList{line});
}

void TestKX2Logger::rotationFillsTheLowestGap()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setMaxSize(10);
    writeFile(backupPath(1), "backup one\n");
    writeFile(backupPath(3), "backup three\n");
    writeFile(logPath(), "current log\n");

    logger.write(KX2Logger::Info, QString(), QString(), 0, "next");
    QCOMPARE(readFile(backupPath(2)), QByteArray("current log\n"));
    QCOMPARE(readFile(backupPath(1)), QByteArray("backup one\n"));
    QCOMPARE(readFile(backupPath(3)), QByteArray("backup three\n"));
    QVERIFY(!QFileInfo::exists(backupPath(4)));
    QVERIFY(readFile(logPath()).endsWith("next\n"));
}

void TestKX2Logger::rotationShiftsWhenAllBackupsExist()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setMaxSize(10);
    QCOMPARE(logger.backups(), 10);
    for (int k = 1; k <= 10; ++k)
        writeFile(backupPath(k), QByteArray("backup ") + QByteArray::number(k));
    writeFile(logPath(), "current log");

    logger.write(KX2Logger::Info, QString(), QString(), 0, "next");
    // The oldest is gone, every other moved down by one, the log is newest.
    for (int k = 1; k <= 9; ++k)
        QCOMPARE(readFile(backupPath(k)), QByteArray("backup ") + QByteArray::number(k + 1));
    QCOMPARE(readFile(backupPath(10)), QByteArray("current log"));
    QVERIFY(!QFileInfo::exists(backupPath(11)));
    QCOMPARE(linesOf(logPath()).size(), 1);
}

void TestKX2Logger::rotationWithBackupsBelowOne()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setMaxSize(10);
    logger.setBackups(0);
    writeFile(logPath(), "first log");
    const QString second = logger.write(KX2Logger::Info, QString(), QString(), 0, "second");
    QCOMPARE(readFile(backupPath(1)), QByteArray("first log"));
    QCOMPARE(logger.backups(), 1);

    const QString third = logger.write(KX2Logger::Info, QString(), QString(), 0, "third");
    QCOMPARE(linesOf(backupPath(1)), QStringList{second});
    QCOMPARE(linesOf(logPath()), QStringList{third});
    QVERIFY(!QFileInfo::exists(backupPath(2)));
}

void TestKX2Logger::backupNameWithoutSuffix()
{
    KX2Logger logger;
    const QString path = m_dir->filePath(QStringLiteral("journal"));
    logger.setFilePath(path);
    logger.setMaxSize(10);
    writeFile(path, "old content");
    logger.write(KX2Logger::Info, QString(), QString(), 0, "new");
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("journal.1."))), QByteArray("old content"));
}

void TestKX2Logger::cleanRemovesLogAndBackups()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    writeFile(logPath(), "log");
    for (int k = 1; k <= 10; ++k)
        writeFile(backupPath(k), "backup");
    writeFile(m_dir->filePath(QStringLiteral("other.log")), "keep");
    writeFile(backupPath(11), "beyond the kept range");

    writeFile(backupPath(10), "newest backup");

    logger.clean();
    QVERIFY(!QFileInfo::exists(logPath()));
    for (int k = 1; k < 10; ++k)
        QVERIFY2(!QFileInfo::exists(backupPath(k)), qPrintable(backupPath(k)));
    // The newest backup (the highest number) is kept, untouched.
    QCOMPARE(readFile(backupPath(10)), QByteArray("newest backup"));
    QVERIFY(QFileInfo::exists(m_dir->filePath(QStringLiteral("other.log"))));
    QVERIFY(QFileInfo::exists(backupPath(11)));
}

void TestKX2Logger::cleanWithOneBackupKeepsIt()
{
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setBackups(1);
    writeFile(logPath(), "log");
    writeFile(backupPath(1), "only backup");
    writeFile(backupPath(2), "beyond");

    logger.clean();
    QVERIFY(!QFileInfo::exists(logPath()));
    QCOMPARE(readFile(backupPath(1)), QByteArray("only backup"));
    QVERIFY(QFileInfo::exists(backupPath(2)));
}

void TestKX2Logger::queuedModeLosesNoLineUnderManyThreads()
{
    constexpr int threads = 8;
    constexpr int perThread = 2000;
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setImmediate(false);

    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&logger, &go, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < perThread; ++i)
                logger.write(KX2Logger::Info, QStringLiteral("t%1").arg(t), QString(), i + 1, "m");
        });
    }
    go.store(true);
    for (auto& writer : writers)
        writer.join();

    QTRY_COMPARE_WITH_TIMEOUT(linesOf(logPath()).size(), threads * perThread, 60000);
    QSet<QString> unique;
    QVector<int> lastPerThread(threads, 0);
    const QRegularExpression pattern(QStringLiteral(" Info t(\\d+) #(\\d+) m$"));
    for (const QString& line : linesOf(logPath())) {
        const QRegularExpressionMatch match = pattern.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        unique.insert(match.captured(1) + QLatin1Char('/') + match.captured(2));
        // One writer thread drains the queue, so each thread's lines keep
        // their order in the file.
        const int t = match.captured(1).toInt();
        const int i = match.captured(2).toInt();
        QVERIFY(i > lastPerThread[t]);
        lastPerThread[t] = i;
    }
    QCOMPARE(unique.size(), threads * perThread);
}

void TestKX2Logger::queuedModeRotates()
{
    {
        // Lines of one length L with a limit one byte short of three lines
        // and their newlines: each file takes exactly two.
        KX2Logger single;
        const QString path = m_dir->filePath(QStringLiteral("single/app.log"));
        const int length = single.write(KX2Logger::Info, QString(), QString(), 0, "x").size();
        single.setFilePath(path);
        single.setImmediate(false);
        single.setMaxSize(3 * (length + 1) - 1);
        for (int i = 0; i < 10; ++i)
            single.write(KX2Logger::Info, QString(), QString(), 0, "x");
        const QDir dir(QFileInfo(path).absolutePath());
        QTRY_COMPARE_WITH_TIMEOUT(allLines(dir).size(), 10, 10000);
        for (int k = 1; k <= 4; ++k)
            QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("app.%1.log").arg(k))).size(),
                     qint64(2 * (length + 1)));
        QCOMPARE(QFileInfo(path).size(), qint64(2 * (length + 1)));
    }

    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setImmediate(false);
    logger.setMaxSize(2000);
    logger.setBackups(100);

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&logger, t] {
            for (int i = 1; i <= 150; ++i)
                logger.write(KX2Logger::Debug, QStringLiteral("r%1").arg(t), QString(), i, "x");
        });
    }
    for (auto& writer : writers)
        writer.join();

    const QDir dir(m_dir->path());
    QTRY_COMPARE_WITH_TIMEOUT(allLines(dir).size(), 600, 30000);
    QVERIFY(QFileInfo::exists(backupPath(1)));
    const QStringList names = dir.entryList({QStringLiteral("app*.log")}, QDir::Files);
    for (const QString& name : names)
        QVERIFY2(QFileInfo(dir.filePath(name)).size() <= 2000, qPrintable(name));
}

void TestKX2Logger::queuedLineIsWrittenWithoutALaterWrite()
{
    // Pairs of lines: once the first is in the file, its writer is about to
    // find the queue empty and end. The second is pushed after a delay that
    // sweeps across that moment and is followed by silence; it must still
    // reach the file although no later write comes to start a writer.
    KX2Logger logger;
    logger.setFilePath(logPath());
    logger.setImmediate(false);
    qint64 expected = 0;
    for (int round = 0; round < 2000; ++round) {
        expected += logger.write(KX2Logger::Trace, QString(), QString(), 0, "first").size() + 1;
        QVERIFY(waitForSize(logPath(), expected, 5000));
        // Busy delay, not a wait for a condition: it only shifts the second
        // write against the ending writer.
        for (volatile int spin = 0; spin < (round % 100) * 20; spin = spin + 1) {}
        expected += logger.write(KX2Logger::Trace, QString(), QString(), 0, "second").size() + 1;
        QVERIFY2(waitForSize(logPath(), expected, 5000), qPrintable(QString::number(round)));
    }
    int lines = linesOf(logPath()).size();
    QCOMPARE(lines, 4000);

    // Bursts from several threads at once, again followed by silence.
    for (int round = 0; round < 50; ++round) {
        std::vector<std::thread> writers;
        for (int t = 0; t < 3; ++t) {
            writers.emplace_back(
                [&logger] { logger.write(KX2Logger::Trace, QString(), QString(), 0, "burst"); });
        }
        for (auto& writer : writers)
            writer.join();
        lines += 3;
        QTRY_COMPARE_WITH_TIMEOUT(linesOf(logPath()).size(), lines, 5000);
    }
}

void TestKX2Logger::queuedWriterRecoversAfterOpenFailure()
{
    KX2Logger logger;
    // A directory in place of the log file: opening it for appending fails.
    const QString blocked = m_dir->filePath(QStringLiteral("blocked"));
    QVERIFY(QDir().mkpath(blocked));
    logger.setFilePath(blocked);
    logger.setImmediate(false);
    for (int i = 0; i < 3; ++i)
        logger.write(KX2Logger::Info, QString(), QString(), 0, "lost or late");

    logger.setFilePath(logPath());
    const QString last = logger.write(KX2Logger::Info, QString(), QString(), 0, "after");
    QTRY_VERIFY_WITH_TIMEOUT(linesOf(logPath()).contains(last), 10000);
    QVERIFY(QFileInfo(blocked).isDir());
}

void TestKX2Logger::destructionWaitsForPendingLines()
{
    {
        KX2Logger logger;
        logger.setFilePath(logPath());
        logger.setImmediate(false);
        for (int i = 0; i < 5000; ++i)
            logger.write(KX2Logger::Info, QString(), QString(), i + 1, "pending");
    }
    // The logger is gone: every line must already be in the file.
    QCOMPARE(linesOf(logPath()).size(), 5000);
}

void TestKX2Logger::instanceList()
{
    KX2Logger* const before = KX2Logger::i();
    auto first = std::make_unique<KX2Logger>();
    QCOMPARE(KX2Logger::i(), first.get());
    auto second = std::make_unique<KX2Logger>();
    QCOMPARE(KX2Logger::i(), second.get());

    first->setCurrentInstance();
    QCOMPARE(KX2Logger::i(), first.get());

    // Destroying a logger that is not current leaves the current one alone.
    second.reset();
    QCOMPARE(KX2Logger::i(), first.get());

    auto third = std::make_unique<KX2Logger>();
    QCOMPARE(KX2Logger::i(), third.get());
    // Destroying the current one hands over to the newest survivor.
    third.reset();
    QCOMPARE(KX2Logger::i(), first.get());
    first.reset();
    QCOMPARE(KX2Logger::i(), before);
}

QTEST_GUILESS_MAIN(TestKX2Logger)
#include "tst_kx2logger.moc"
