// znavmirror: writes the description of a virus database mirror.
//
//   znavmirror [--updatetime TEXT] [--output FILE] DIRECTORY BASE_URL
//
// Lists the regular files of DIRECTORY (hidden files, links and the output
// file itself left out) in name order and writes the JSON description the
// service fetches: {"url": BASE_URL, "items": [{"file", "size", "md5"}...],
// "updatetime": TEXT}. BASE_URL is where the files are served; a missing
// trailing "/" is added, since the service appends file names to it as they
// are. The output goes to DIRECTORY/virusdb.json unless --output names
// another file; it is replaced atomically, so a web server serving the
// directory never hands out half a description. --updatetime defaults to
// the current local time ("yyyy-MM-dd HH:mm:ss").
//
// Exit status: 0 when the description was written; 2 with a one-line
// message on standard error otherwise.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

#include "kx2file.h"

namespace {

struct Options
{
    QString directory;
    QString baseUrl;
    QString output;
    QString updateTime;
};

int fail(const QString& message)
{
    QTextStream(stderr) << "znavmirror: " << message << '\n';
    return 2;
}

QString usage()
{
    return QStringLiteral(
        "usage: znavmirror [--updatetime TEXT] [--output FILE] DIRECTORY BASE_URL");
}

bool parse(const QStringList& args, Options& options, QString& error)
{
    QStringList positional;
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--output") || arg == QLatin1String("--updatetime")) {
            if (i + 1 >= args.size()) {
                error = arg + QStringLiteral(" needs a value");
                return false;
            }
            (arg == QLatin1String("--output") ? options.output : options.updateTime) = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option ") + arg;
            return false;
        } else {
            positional << arg;
        }
    }
    if (positional.size() != 2 || positional.at(1).trimmed().isEmpty()) {
        error = usage();
        return false;
    }
    options.directory = positional.at(0);
    options.baseUrl = positional.at(1).trimmed();
    if (!options.baseUrl.endsWith(QLatin1Char('/')))
        options.baseUrl += QLatin1Char('/');
    if (options.output.isEmpty())
        options.output = QDir(options.directory).filePath(QStringLiteral("virusdb.json"));
    if (options.updateTime.isEmpty())
        options.updateTime =
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QLatin1String("-h")) || args.contains(QLatin1String("--help"))) {
        QTextStream(stdout) << usage() << '\n';
        return 0;
    }
    Options options;
    QString error;
    if (!parse(args, options, error))
        return fail(error);
    const QDir directory(options.directory);
    if (!QFileInfo(options.directory).isDir())
        return fail(QStringLiteral("%1 is not a directory").arg(options.directory));

    const QString outputPath = QFileInfo(options.output).absoluteFilePath();
    QJsonArray items;
    const QFileInfoList files =
        directory.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& file : files) {
        if (file.absoluteFilePath() == outputPath)
            continue;
        const QString md5 = KX2File::fileMd5(file.absoluteFilePath());
        if (md5.isEmpty())
            return fail(QStringLiteral("cannot read %1").arg(file.absoluteFilePath()));
        items.append(QJsonObject{{QStringLiteral("file"), file.fileName()},
                                 {QStringLiteral("size"), double(file.size())},
                                 {QStringLiteral("md5"), md5}});
    }
    const QJsonObject description{{QStringLiteral("url"), options.baseUrl},
                                  {QStringLiteral("items"), items},
                                  {QStringLiteral("updatetime"), options.updateTime}};
    // The description is published: the web server serving it reads it.
    if (!KX2File::saveJson(options.output, description, false, 0644))
        return fail(QStringLiteral("cannot write %1").arg(options.output));
    return 0;
}
