#include "znavctl.h"

#include "kx2escape.h"
#include "kx2file.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2uniquefd.h"
#include "kx2values.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTextStream>
#include <QVector>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace znavctl {

void printLine(FILE* stream, const QString& text)
{
    QTextStream(stream) << text << '\n';
}

int fail(const QString& message)
{
    printLine(stderr, QStringLiteral("znavctl: ") + message);
    return ExitError;
}

bool resolveSocket(const Options& options, QString& name, Failure& failure)
{
    if (!options.socketName.isEmpty()) {
        name = options.socketName;
        return true;
    }
    const QJsonObject configuration = KX2File::readJsonObject(options.configFile);
    name = toString(configuration.value(QStringLiteral("lpcid"))).trimmed();
    if (name.isEmpty()) {
        failure.message = QStringLiteral("no lpcid in %1").arg(options.configFile);
        return false;
    }
    return true;
}

namespace {

// Why no request reaches the socket at `path`: nothing there, nobody
// accepting, or a socket the caller may not use. Empty when a connection
// can be made (the service then failed to answer in time).
QString unreachableReason(const QString& path)
{
    const QByteArray file = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (file.size() >= int(sizeof address.sun_path))
        return QString();
    std::memcpy(address.sun_path, file.constData(), size_t(file.size()));
    const KX2UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.isValid()
        || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return QString();
    const QString shown = kx2Escaped(path);
    switch (errno) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
        return QStringLiteral("the service is not running (nothing listens at %1)").arg(shown);
    case EACCES:
    case EPERM: {
        struct stat info;
        const group* owner =
            ::stat(file.constData(), &info) == 0 ? ::getgrgid(info.st_gid) : nullptr;
        if (!owner)
            return QStringLiteral("permission denied: %1 is closed to you").arg(shown);
        return QStringLiteral("permission denied: %1 is for members of group %2")
            .arg(shown, kx2Escaped(QString::fromLocal8Bit(owner->gr_name)));
    }
    default:
        return QString();
    }
}

} // namespace

bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply,
              Failure& failure)
{
    QString name;
    if (!resolveSocket(options, name, failure))
        return false;
    if (!KX2LocalServer::localRequest(name, request, &reply, options.timeoutSeconds)) {
        failure.message = unreachableReason(KX2LocalServer::socketPath(name));
        if (failure.message.isEmpty())
            failure.message = QStringLiteral("the service at %1 did not answer within %2 s")
                                  .arg(kx2Escaped(name))
                                  .arg(options.timeoutSeconds);
        return false;
    }
    return true;
}

bool newestRecords(const Options& options, const char* cmd, int count, QJsonArray& records,
                   int& total, Failure& failure)
{
    const auto window = [&](int first, int size, QJsonObject& results) {
        QJsonObject request = command(cmd);
        request.insert(
            QStringLiteral("params"),
            QJsonObject{{QStringLiteral("page"), first}, {QStringLiteral("ofpage"), size}});
        QJsonObject reply;
        if (!exchange(options, request, reply, failure))
            return false;
        if (!succeeded(reply)) {
            failure.message = reason(reply);
            return false;
        }
        results = reply.value(QStringLiteral("results")).toObject();
        return true;
    };
    QJsonObject results;
    if (!window(1, 1, results))
        return false;
    total = toInt(results.value(QStringLiteral("reccount")));
    records = QJsonArray();
    if (total <= 0 || count <= 0)
        return true;
    if (!window(std::max(1, total - count + 1), count, results))
        return false;
    const QJsonArray oldestFirst = results.value(QStringLiteral("records")).toArray();
    for (auto it = oldestFirst.end(); it != oldestFirst.begin();)
        records.append(*--it);
    return true;
}

bool succeeded(const QJsonObject& reply)
{
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

void printJson(const QJsonObject& reply)
{
    QTextStream(stdout) << QJsonDocument(reply).toJson(QJsonDocument::Indented);
}

int sendRequest(const Options& options, const QJsonObject& request)
{
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    printJson(reply);
    return succeeded(reply) ? ExitSuccess : ExitError;
}

QJsonObject command(const char* cmd)
{
    return QJsonObject{{QStringLiteral("cmd"), QLatin1String(cmd)}};
}

QString reason(const QJsonObject& reply)
{
    const QString message = kx2Escaped(reply.value(QStringLiteral("errmsg")).toString());
    return message.isEmpty()
        ? QStringLiteral("err %1").arg(reply.value(QStringLiteral("err")).toInt())
        : message;
}

void printTable(const QStringList& header, const QList<QStringList>& rows)
{
    QVector<int> widths(header.size(), 0);
    for (int c = 0; c < header.size(); ++c)
        widths[c] = header.at(c).size();
    for (const QStringList& row : rows) {
        for (int c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    }
    QTextStream out(stdout);
    auto line = [&](const QStringList& cells) {
        QStringList padded;
        for (int c = 0; c < cells.size(); ++c)
            padded << (c + 1 < cells.size() ? cells.at(c).leftJustified(widths[c]) : cells.at(c));
        out << padded.join(QStringLiteral("  ")) << '\n';
    };
    line(header);
    for (const QStringList& row : rows)
        line(row);
}

QString inEnglish(const QJsonObject& reply, const QString& path)
{
    const QString shown = kx2Escaped(path);
    switch (toInt(reply.value(QStringLiteral("err")))) {
    case KX2ErrorCode::DirectoryNotConfigured:
        return QStringLiteral("no work area is set (znavctl settings set datadir=DIR)");
    case KX2ErrorCode::PermissionDenied:
        return QStringLiteral("permission denied: this is for the service's administrators "
                              "(the group lpcadmingroup names)");
    case KX2ErrorCode::StillRunning:
        return QStringLiteral("the same operation is running; try again when it has ended");
    case KX2ErrorCode::MethodNotFound:
        return QStringLiteral("the service does not offer this method");
    case KX2ErrorCode::VirusDbNotReady:
        return QStringLiteral("no virus database is loaded (znavctl update --status says why)");
    case KX2ErrorCode::ScanRunning:
        return QStringLiteral("a scan is running");
    case KX2ErrorCode::NotExists:
        return path.isEmpty() ? QStringLiteral("not found")
                              : shown
                + QStringLiteral(" does not exist, or is a link or neither "
                                 "a file nor a folder");
    case KX2ErrorCode::MissingParameter:
        return QStringLiteral("a required value is missing");
    default:
        return QString();
    }
}

int reportFailure(const QString& what, const QJsonObject& reply, const QString& path)
{
    const int code = toInt(reply.value(QStringLiteral("err")));
    const QString message = kx2Escaped(reply.value(QStringLiteral("errmsg")).toString());
    const QString english = inEnglish(reply, path);
    printLine(stderr,
              QStringLiteral("znavctl: %1 failed%2 (err %3%4)")
                  .arg(what, english.isEmpty() ? QString() : QStringLiteral(": ") + english)
                  .arg(code)
                  .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    return ExitError;
}

bool sinceStamp(const QString& text, QString& stamp)
{
    const QString value = text.trimmed();
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    static const QRegularExpression age(QStringLiteral("^(\\d{1,6})([mhd])$"));
    const QRegularExpressionMatch match = age.match(value);
    if (match.hasMatch()) {
        const qint64 unit = match.captured(2) == QLatin1String("m") ? 60
            : match.captured(2) == QLatin1String("h")               ? 3600
                                                                    : 86400;
        stamp = QDateTime::currentDateTime()
                    .addSecs(-match.captured(1).toLongLong() * unit)
                    .toString(format);
        return true;
    }
    for (const char* accepted : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-dd"}) {
        const QDateTime when = QDateTime::fromString(value, QLatin1String(accepted));
        if (when.isValid()) {
            stamp = when.toString(format);
            return true;
        }
    }
    return false;
}

bool positiveNumber(const QString& text, int& number)
{
    bool ok = false;
    number = text.toInt(&ok);
    return ok && number > 0;
}

QString cell(const QJsonValue& value)
{
    return value.isDouble() ? QString::number(qint64(value.toDouble()))
                            : kx2Escaped(value.toString());
}

} // namespace znavctl
