// Process entry of the antivirus service.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include "appdata.h"
#include "kx2trace.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(
        QStringLiteral("1.0-") + complieDateTime(__DATE__, __TIME__).toString(QStringLiteral("yyyy.MM.dd.HHmm")));

    QCommandLineOption cfgOption(QStringLiteral("cfg"), QStringLiteral("指定配置文件"), QStringLiteral("filepath"));
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(cfgOption);
    parser.process(app); // --help and unknown options end the process here

    const QString cfgPath = parser.isSet(cfgOption) ? parser.value(cfgOption) : QString();

    AppData::create();
    if (IAppData()->initialize(cfgPath) && IAppData()->start())
        return QCoreApplication::exec();
    return 1;
}
