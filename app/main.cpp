// Process entry of the antivirus service.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <chrono>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "appdata.h"
#include "kx2trace.h"
#include "stopdeadline.h"

namespace {

// The orderly stop takes this long at most: the service must be gone
// within 5 s of a stop signal, before a supervisor would kill it.
constexpr std::chrono::milliseconds kStopLimit{4000};

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

// Blocks of 1 MiB and more come from mmap of their own and go back to the
// system when freed. With glibc's default the threshold rises after the
// first large block, and a request of a million numbers left its parse
// tree and lists in a thread's arena for good (malloc_trim does not shrink
// the top of a thread's arena): the process stayed at its largest
// request's size.
void keepLargeBlocksApart()
{
#ifdef __GLIBC__
    ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

// The unit runs the service with UMask=0027; started any other way it
// keeps at least that mask, so nothing it makes without a mode of its own
// (directories, copies) is open to other users. Its records set their
// modes explicitly, and the socket's mode comes from the configuration.
void keepOtherUsersOut()
{
    ::umask(::umask(0) | 027);
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a stop signal in the first milliseconds must still end
    // the service in order.
    AppData::installSignalHandling();
    keepOtherUsersOut();
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
    keepLargeBlocksApart();

    AppData::create();
    if (!IAppData()->initialize(cfgPath) || !IAppData()->start())
        return 1;

    const int exitCode = QCoreApplication::exec();
    {
        // Threads end in order and the store closes, so the next start
        // finds nothing to recover; a teardown that hangs is cut short.
        StopDeadline deadline(kStopLimit, exitCode);
        if (!IAppData()->shutdown(deadline.remaining()))
            StopDeadline::leaveAtOnce("connections did not end in time", exitCode);
        AppData::destroy();
    }
    return exitCode;
}
