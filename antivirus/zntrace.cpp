#include "zntrace.h"

#include "kx2escape.h"
#include "kx2logger.h"

#include "kx2trace.h"
#include "kx2tracelevel.h"

#include <sys/stat.h>
#include <unistd.h>

bool znTraceEnabled(int mask)
{
    return (kx2TraceLevel() & mask) != 0;
}

void znTrace(int mask, const QVariant& line)
{
    if (!znTraceEnabled(mask))
        return;
    if (line.userType() == QMetaType::QString)
        PRINTLN_WITHTIME(kx2Escaped(line.toString()));
    else
        PRINTLN_WITHTIME(line);
}

namespace {

bool tagged(const QByteArray& line, const char* tag)
{
    return line.startsWith(tag);
}

// Standard output is the journal when systemd says so: JOURNAL_STREAM
// names the device and inode of the stream it connected.
bool standardOutputIsJournal()
{
    static const bool journal = [] {
        const QByteArray stream = qgetenv("JOURNAL_STREAM");
        struct stat out;
        return !stream.isEmpty() && ::fstat(STDOUT_FILENO, &out) == 0
            && stream
            == QByteArray::number(quint64(out.st_dev)) + ':'
                + QByteArray::number(quint64(out.st_ino));
    }();
    return journal;
}

} // namespace

int znEventLevel(const QByteArray& line)
{
    if (tagged(line, "[engine-failed]") || tagged(line, "[left-in-place]")
        || tagged(line, "[workarea-refused]") || tagged(line, "[hook-failed]")
        || (tagged(line, "[update-end]") && line.contains(" result=failed")))
        return 3;
    if (tagged(line, "[detect]") || tagged(line, "[limited]") || tagged(line, "[refused]")
        || tagged(line, "[task-dropped]") || tagged(line, "[unprotected]"))
        return 4;
    if (tagged(line, "[quarantine]") || tagged(line, "[quarantine-delete]")
        || tagged(line, "[restore]") || tagged(line, "[engine]") || tagged(line, "[update-end]")
        || tagged(line, "[protected]"))
        return 5;
    return 6;
}

void znEvent(const QString& line)
{
    znEvent(line.toUtf8());
}

void znEvent(const QByteArray& line)
{
    if (!kx2HasTraceLevelSource())
        return;
    const QByteArray escaped = kx2Escaped(line);
    const int level = znEventLevel(line);
    // journald stamps the line itself and reads its priority from "<N>".
    if (standardOutputIsJournal())
        PRINTLN(QString::fromUtf8("<" + QByteArray::number(level) + ">" + escaped));
    else
        PRINTLN_WITHTIME(QString::fromUtf8(escaped));
    // The event log file, when the configuration names one.
    if (KX2Logger* logger = KX2Logger::i(); logger && !logger->filePath().isEmpty())
        logger->write(level <= 3       ? KX2Logger::Error
                          : level == 4 ? KX2Logger::Warn
                                       : KX2Logger::Info,
                      QStringLiteral("antivirus"), QString(), 0, "%s", escaped.constData());
}
