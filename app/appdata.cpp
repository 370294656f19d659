#include "appdata.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaType>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2rpcpacket.h"
#include "kx2trace.h"
#include "kx2values.h"
#include "requestrouter.h"

namespace {

AppData* g_appData = nullptr;

// Self-pipe: the handler only writes the signal number, which is
// async-signal-safe; the main thread's event loop reads it and quits.
int g_signalPipe[2] = {-1, -1};

void sigInt_AppQuit(int signal)
{
    if (signal != SIGINT && signal != SIGTERM)
        return;
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    (void)written; // a full pipe already holds a pending quit request
    errno = savedErrno;
}

void routeSignal(int signal)
{
    struct sigaction action {};
    action.sa_handler = sigInt_AppQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

} // namespace

AppData* IAppData()
{
    return g_appData;
}

AppData* AppData::create()
{
    if (!g_appData)
        g_appData = new AppData(); // lives for the whole process
    return g_appData;
}

AppData::AppData()
    : m_router(new RequestRouter())
    , m_server(new KX2LocalServer())
{
    ::signal(SIGSEGV, SIG_IGN);
    installSignalHandlers();
    routeSignal(SIGHUP);
    routeSignal(SIGPIPE);

    qRegisterMetaType<KX2RpcPacket>("KX2RpcPacket");
    configDir = QDir(QStringLiteral("/zelo/etc/antivirus"));
    m_server->add(m_router.get());

    routeSignal(SIGINT);
    routeSignal(SIGTERM);
}

AppData::~AppData()
{
    m_signalNotifier.reset();
    m_server.reset(); // stop accepting before the router and its module go
    m_router.reset();
}

void AppData::installSignalHandlers()
{
    if (g_signalPipe[0] >= 0)
        return;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        PRINTLN_WITHTIME(QStringLiteral("signal pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    m_signalNotifier.reset(new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read));
    connect(m_signalNotifier.get(), &QSocketNotifier::activated, this, [this] { onSignalPipeReadable(); });
}

void AppData::onSignalPipeReadable()
{
    unsigned char bytes[16];
    bool quit = false;
    ssize_t n;
    while ((n = ::read(g_signalPipe[0], bytes, sizeof bytes)) > 0)
        quit = true;
    if (!quit)
        return;
    std::fputs("Wait for quit ...\n", stdout);
    std::fflush(stdout);
    QCoreApplication::quit();
}

bool AppData::initialize(const QString& cfgPath)
{
    QString file;
    if (!cfgPath.isEmpty()) {
        file = cfgPath;
        configDir = QDir(QFileInfo(cfgPath).absolutePath());
    } else {
        file = configDir.absoluteFilePath(QStringLiteral("config.json"));
    }

    configuration = KX2File::readJsonObject(file);
    appname = toString(configuration.value(QStringLiteral("appname"))).trimmed();
    lpcid = toString(configuration.value(QStringLiteral("lpcid"))).trimmed();

    KX2Journals journal;
    if (!lpcid.isEmpty()) {
        debugging = toBool(configuration.value(QStringLiteral("debugging")));
        debuglevel = toInt(configuration.value(QStringLiteral("debuglevel")));
        configLoaded = m_router->loadConfigure(journal, configuration);
    } else {
        journal.add(PRETTY("bool AppData::initialize(const QString&)", 108), QStringLiteral("lpcid"), false,
                    QStringLiteral("未定义lpcid内容"));
    }

    if (configLoaded) {
        if (debugging)
            PRINTLN_WITHTIME(QString(QStringLiteral("配置文装载成功: ") + file));
        return true;
    }

    PRINTLN_WITHTIME(QString(QStringLiteral("系统配置文装载失败: ") + file));
    const QJsonArray segments = journal.segments();
    for (const QJsonValue& entry : segments)
        PRINTLN(entry.toObject().value(QStringLiteral("msg")).toVariant());
    return false;
}

bool AppData::start()
{
    if (!configLoaded || lpcid.isEmpty())
        return false;
    m_server->setDebugging(debugging);
    if (!m_server->start(lpcid))
        return false;
    PRINTLN(QString(QStringLiteral("lpcID: ") + lpcid));

    KX2Journals journal;
    m_router->settingsLoad(journal, nullptr);
    return true;
}
