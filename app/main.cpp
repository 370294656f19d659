// Process entry of the antivirus service.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

#include "appdata.h"
#include "kx2trace.h"

namespace {

// Every connection holds descriptors of its own; the default soft limit
// (often 1024) would let a burst of clients starve the accept loop.
void raiseDescriptorLimit()
{
    struct rlimit limit
    {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a stop signal in the first milliseconds must still end
    // the service in order.
    AppData::installSignalHandling();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(
        QStringLiteral("1.0-")
        + complieDateTime(__DATE__, __TIME__).toString(QStringLiteral("yyyy.MM.dd.HHmm")));

    QCommandLineOption cfgOption(QStringLiteral("cfg"), QStringLiteral("指定配置文件"),
                                 QStringLiteral("filepath"));
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(cfgOption);
    parser.process(app); // --help and unknown options end the process here

    const QString cfgPath = parser.isSet(cfgOption) ? parser.value(cfgOption) : QString();
    raiseDescriptorLimit();

    AppData::create();
    if (!IAppData()->initialize(cfgPath) || !IAppData()->start())
        return 1;

    const int exitCode = QCoreApplication::exec();
    IAppData()->stop();
    // Connection workers and the service's own threads are detached and may
    // still be running: leave without running static destructors under
    // them. Stored data is safe (every SQLite write is its own transaction).
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
