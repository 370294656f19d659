// KX2Logger: appends formatted, time-stamped lines to a log file and rotates
// it into numbered backups ("app.log" -> "app.1.log" ... "app.N.log"; 1 is
// the oldest).
//
// Two modes:
// - immediate (default): write() opens, appends and closes the file on the
//   calling thread;
// - queued: write() only formats the line and pushes it onto a lock-free
//   queue; a background writer thread, started on demand, drains it and
//   ends when the queue runs empty. At most one writer runs at a time. The
//   logger owns its writer threads and joins them.
//
// Threads: write() and every accessor may be called from any thread. The
// logger must not be destroyed while another thread is inside write(); the
// destructor waits for a running background writer to drain the queue and
// joins it, so every line written before the destructor ran is in the file
// (unless the file could not be opened) when it returns.
//
// Failures are not reported: a directory that cannot be made or a file that
// cannot be opened drops the line at hand; in queued mode it also stops the
// background writer, leaving the remaining lines queued until the next queued
// write or, if the path has meanwhile been changed, writing them there.
// write() returns the formatted line in every case.
//
// Permissions: the log and its backups are readable and writable by their
// owner only (0600), whatever the umask; the lines name users' files. A
// log or backup found with more permissions (setFilePath(), setBackups(),
// or when the log is opened) loses them.
//
// Rotation happens before a line would take the file past maxSize (the
// newline counted): the log is renamed to the lowest free backup number, or,
// when all are taken, backup 1 is dropped and the others move down by one.
//
// Instances: every logger registers itself in a process-wide list; the most
// recently constructed one (or the one given setCurrentInstance()) is i().

#ifndef KX2LOGGER_H
#define KX2LOGGER_H

#include <QObject>
#include <QString>

#include <memory>

class KX2LoggerPrivate;

class KX2Logger : public QObject
{
    Q_OBJECT
public:
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13,
    };
    Q_ENUM(LogLevel)

    explicit KX2Logger(QObject* parent = nullptr);
    ~KX2Logger() override;

    // The current logger; null once every logger has been destroyed.
    static KX2Logger* i();
    void setCurrentInstance();

    // An empty path switches writing off.
    QString filePath() const;
    void setFilePath(const QString& filePath);

    // Rotation threshold in bytes; 0 or less never rotates.
    qint64 maxSize() const;
    void setMaxSize(qint64 maxSize);

    // Number of numbered backups kept; values below 1 count as 1.
    int backups() const;
    void setBackups(int backups);

    bool output() const;
    void setOutput(bool output);

    bool immediate() const;
    void setImmediate(bool immediate);

    // Formats "yyyy-MM-dd HH:mm:ss <Level> <label1> <label2> #<line> <message>"
    // (empty parts and a line of 0 or less left out, the whole trimmed),
    // writes it when output is on and a file is set, and returns it.
    // `format` is UTF-8 and is expanded with the arguments by printf rules.
    QString write(int level, const QString& label1, const QString& label2, int line,
                  const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(6, 7);

    // Deletes the log file and its numbered backups 1 to backups()-1; the
    // highest-numbered backup (the newest once they are full) is kept.
    void clean();

private:
    Q_DISABLE_COPY(KX2Logger)
    const std::unique_ptr<KX2LoggerPrivate> d;
};

#endif // KX2LOGGER_H
