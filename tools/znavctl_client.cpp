#include "znavctl.h"

#include "kx2escape.h"
#include "kx2file.h"
#include "kx2localserver.h"
#include "kx2values.h"

#include <QJsonDocument>
#include <QTextStream>
#include <QVector>

namespace znavctl {

void printLine(FILE* stream, const QString& text)
{
    QTextStream(stream) << text << '\n';
}

int fail(const QString& message)
{
    printLine(stderr, QStringLiteral("znavctl: ") + message);
    return ExitNoReply;
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

bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply,
              Failure& failure)
{
    QString name;
    if (!resolveSocket(options, name, failure))
        return false;
    if (!KX2LocalServer::localRequest(name, request, &reply, options.timeoutSeconds)) {
        failure.message =
            QStringLiteral("the service at %1 cannot be reached or did not answer within %2 s")
                .arg(name)
                .arg(options.timeoutSeconds);
        return false;
    }
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
    return succeeded(reply) ? ExitSuccess : ExitFailedReply;
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

int reportFailure(const QString& what, const QJsonObject& reply)
{
    const int code = toInt(reply.value(QStringLiteral("err")));
    const QString message = kx2Escaped(reply.value(QStringLiteral("errmsg")).toString());
    printLine(stderr,
              QStringLiteral("znavctl: %1 failed (err %2%3)")
                  .arg(what)
                  .arg(code)
                  .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    return ExitFailedReply;
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
