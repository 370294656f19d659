// Shared pieces of znavctl: its options, the exchange of one request with
// the service, and output helpers. Each family of commands lives in a file
// of its own (znavctl_*.cpp) and is registered in znavctl.cpp's table.
//
// Everything here runs on the program's one thread.

#ifndef ZNAVCTL_H
#define ZNAVCTL_H

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace znavctl {

enum ExitCode { ExitSuccess = 0, ExitFailedReply = 1, ExitNoReply = 2 };

struct Options
{
    QString configFile = QStringLiteral("/zelo/etc/antivirus/config.json");
    QString socketName;
    qint64 timeoutSeconds = 30;
    bool json = false;     // print raw replies
    QStringList arguments; // the subcommand and its arguments
};

// Raised as a value, never thrown: the one-line reason a run cannot go on.
struct Failure
{
    QString message;
};

void printLine(FILE* stream, const QString& text);
// Prints "znavctl: <message>" on standard error; returns ExitNoReply.
int fail(const QString& message);
QString usage();

// The socket name from --socket or from the configuration's "lpcid".
bool resolveSocket(const Options& options, QString& name, Failure& failure);
// Sends `request`; false with the reason in `failure` when no reply came.
bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply,
              Failure& failure);
bool succeeded(const QJsonObject& reply);
void printJson(const QJsonObject& reply);
// Sends `request` and prints the reply; the exit status follows its err.
int sendRequest(const Options& options, const QJsonObject& request);
QJsonObject command(const char* cmd);
// The reply's message, or its code when it has none.
QString reason(const QJsonObject& reply);
// Rows as columns padded to their widest cell; the last column unpadded.
void printTable(const QStringList& header, const QList<QStringList>& rows);
// A reply value as table text (numbers without fractions).
QString cell(const QJsonValue& value);

// The commands, one family per file.
int callCommand(const Options& options, const QStringList& args);
int updateCommand(const Options& options, const QStringList& args);
int logsCommand(const Options& options, const QStringList& args);
int quarantineCommand(const Options& options, const QStringList& args);
int restoreCommand(const Options& options, const QStringList& args);
int purgeCommand(const Options& options, const QStringList& args);
int pruneCommand(const Options& options, const QStringList& args);
int scanCommand(const Options& options, const QStringList& args);
int stopCommand(const Options& options, const QStringList& args);
int statusCommand(const Options& options, const QStringList& args);
int missionsCommand(const Options& options, const QStringList& args);
int missionCommand(const Options& options, const QStringList& args);

} // namespace znavctl

#endif // ZNAVCTL_H
