// Shared pieces of znavctl: its options, the exchange of one request with
// the service, and output helpers. Each family of commands lives in a file
// of its own (znavctl_*.cpp) and is registered in znavctl.cpp's table.
//
// Everything here runs on the program's one thread.

#ifndef ZNAVCTL_H
#define ZNAVCTL_H

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace znavctl {

// One rule for every command: 0 done, 1 infected files found (scan --wait),
// 2 anything that kept the command from doing what it was asked.
enum ExitCode { ExitSuccess = 0, ExitInfected = 1, ExitError = 2 };

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
// Prints "znavctl: <message>" on standard error; returns ExitError.
int fail(const QString& message);
// The one-line synopsis of every command, for failures without a command.
QString usage();
// "name: reason; see znavctl NAME --help": a command line the parser took
// but the command cannot use.
int usageFailure(const QString& command, const QString& reason);

// The socket name from --socket or from the configuration's "lpcid".
bool resolveSocket(const Options& options, QString& name, Failure& failure);
// Sends `request`; false with the reason in `failure` when no reply came:
// the service is not running, the caller may not connect, or it did not
// answer in time.
bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply,
              Failure& failure);
bool succeeded(const QJsonObject& reply);
// The newest `count` records of a listing method (antivirus_log_alload,
// antivirus_quarantined_alload), newest first, and how many it holds in
// all; false with the reason in `failure`.
bool newestRecords(const Options& options, const char* cmd, int count, QJsonArray& records,
                   int& total, Failure& failure);
void printJson(const QJsonObject& reply);
// Sends `request` and prints the reply; the exit status follows its err.
// The JSON text is printed as the encoder wrote it: its strings are
// already escaped. Everything printed as text for people instead shows
// the reply's strings and the user's paths in their escaped form
// (kx2Escaped), so that a file name cannot add a line or reach the
// terminal as a control sequence.
int sendRequest(const Options& options, const QJsonObject& request);
QJsonObject command(const char* cmd);
// The reply's message (escaped), or its code when it has none.
QString reason(const QJsonObject& reply);
// The refusals people meet most, said in English beside the service's own
// message (which callers of the socket get unchanged); `path` is named
// where the refusal is about it. Empty for other codes.
QString inEnglish(const QJsonObject& reply, const QString& path = QString());
// "znavctl: WHAT failed: ENGLISH (err N: MESSAGE)" on standard error (no
// ENGLISH where inEnglish() has none); ExitError.
int reportFailure(const QString& what, const QJsonObject& reply, const QString& path = QString());
// Rows as columns padded to their widest cell; the last column unpadded.
void printTable(const QStringList& header, const QList<QStringList>& rows);
// A reply value as table text: numbers without fractions, strings escaped.
QString cell(const QJsonValue& value);
// The stored-time text ("yyyy-MM-dd HH:mm:ss", local time) of --since's
// value: a date, a date and time, or an age ("90m", "24h", "7d") back
// from now. False for anything else.
bool sinceStamp(const QString& text, QString& stamp);
// A positive whole number from an option's or operand's text.
bool positiveNumber(const QString& text, int& number);

// One subcommand. Its options and operands are declared on a
// QCommandLineParser of its own, which also gives `znavctl NAME --help`;
// `run` gets that parser after a successful parse (options.json already
// merged with the command's own --json).
struct Command
{
    QString name;
    QString synopsis;    // operands and options after "znavctl NAME"
    QString description; // first line of its help
    std::function<void(QCommandLineParser&)> declare;
    std::function<int(const Options&, const QCommandLineParser&)> run;
};

// The commands, one family per file.
void addCallCommands(QList<Command>& table);
void addScanCommands(QList<Command>& table);
void addUpdateCommands(QList<Command>& table);
void addRecordCommands(QList<Command>& table);
void addMissionCommands(QList<Command>& table);
void addSettingsCommands(QList<Command>& table);
void addReportCommands(QList<Command>& table);

} // namespace znavctl

#endif // ZNAVCTL_H
