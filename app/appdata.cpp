#include "appdata.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMetaType>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2peer.h"
#include "kx2rpcpacket.h"
#include "kx2trace.h"
#include "kx2values.h"
#include "requestrouter.h"
#include "scantempdir.h"
#include "znantivirus.h"
#include "znremembercheck.h"
#include "zntrace.h"

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
    struct sigaction action
    {};
    action.sa_handler = sigInt_AppQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

// Why `file` gave no "lpcid": the file is missing, cannot be read, is not
// JSON (with the parser's reason and the offset it stopped at), holds no
// object, or lacks the key or leaves it blank.
QString configurationProblem(const QString& file)
{
    const QFileInfo info(file);
    if (!info.exists())
        return QStringLiteral("the configuration file does not exist: ") + info.absoluteFilePath();
    QFile reader(file);
    if (info.isDir() || !reader.open(QIODevice::ReadOnly))
        return QStringLiteral("the configuration file cannot be read: ")
            + (info.isDir() ? QStringLiteral("it is a directory") : reader.errorString());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reader.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("the configuration file is not JSON: %1 at offset %2")
            .arg(error.errorString())
            .arg(error.offset);
    if (!document.isObject())
        return QStringLiteral("the configuration file holds no JSON object");
    const QJsonValue value = document.object().value(QStringLiteral("lpcid"));
    if (value.isUndefined())
        return QStringLiteral("the key \"lpcid\" is missing");
    if (value.isString())
        return QStringLiteral("the key \"lpcid\" is blank");
    return QStringLiteral("the key \"lpcid\" is not a text");
}

} // namespace

AppData* IAppData()
{
    return g_appData;
}

AppData* AppData::create()
{
    if (!g_appData)
        g_appData = new AppData();
    return g_appData;
}

void AppData::destroy()
{
    AppData* appData = g_appData;
    delete appData;
    g_appData = nullptr;
}

void AppData::installSignalHandling()
{
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        std::fprintf(stderr, "signal pipe: %s\n", strerror(errno));
    ::signal(SIGSEGV, SIG_IGN);
    routeSignal(SIGHUP);
    routeSignal(SIGPIPE);
    routeSignal(SIGINT);
    routeSignal(SIGTERM);
    ZNRememberCheck::ignoreLeaseBreaks();
    // A parent may hand its blocked signals down; the service must hear
    // its stop signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

AppData::AppData() : m_router(new RequestRouter()), m_server(new KX2LocalServer())
{
    installSignalHandling(); // a no-op when main() has done it already
    if (g_signalPipe[0] >= 0) {
        m_signalNotifier.reset(new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read));
        connect(m_signalNotifier.get(), &QSocketNotifier::activated, this,
                [this] { onSignalPipeReadable(); });
    }

    qRegisterMetaType<KX2RpcPacket>("KX2RpcPacket");
    configDir = QDir(QStringLiteral("/zelo/etc/antivirus"));
    m_server->add(m_router.get());
    kx2SetTraceLevelSource(this);
}

AppData::~AppData()
{
    kx2SetTraceLevelSource(nullptr);
    m_signalNotifier.reset();
    m_server.reset(); // stop accepting before the router and its module go
    m_router.reset();
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
    // The event first: the console's last line stays "Wait for quit ...".
    znEvent(QStringLiteral("[stop] pid=%1").arg(QCoreApplication::applicationPid()));
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
    // libclamav's temporary files go to memory (the unit's tmpfs or one of
    // our own) unless the configuration names a directory.
    if (!configuration.contains(QStringLiteral("tmpdir"))) {
        m_scanTemp = std::make_unique<ScanTempDir>();
        if (!m_scanTemp->path().isEmpty())
            configuration.insert(QStringLiteral("tmpdir"), m_scanTemp->path());
    }
    appname = toString(configuration.value(QStringLiteral("appname"))).trimmed();
    lpcid = toString(configuration.value(QStringLiteral("lpcid"))).trimmed();

    KX2Journals journal;
    if (!lpcid.isEmpty()) {
        debugging = toBool(configuration.value(QStringLiteral("debugging")));
        debuglevel = toInt(configuration.value(QStringLiteral("debuglevel")));
        configLoaded = m_router->loadConfigure(journal, configuration);
    } else {
        const QString place = PRETTY("bool AppData::initialize(const QString&)", 108);
        journal.add(place, QStringLiteral("lpcid"), false, QStringLiteral("未定义lpcid内容"));
        // The line above is all an empty configuration can say; this one
        // tells the administrator which of the possible causes it was.
        journal.add(place, QStringLiteral("config"), false, configurationProblem(file));
    }

    if (configLoaded) {
        applyLogFile();
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
    if (!applySocketAccess())
        return false;
    if (!m_server->start(lpcid)) {
        PRINTLN_WITHTIME(QString(QStringLiteral("本地服务启动失败: ") + m_server->errorString()));
        return false;
    }
    PRINTLN(QString(QStringLiteral("lpcID: ") + lpcid));
    znEvent(QStringLiteral("[start] pid=%1 socket=%2")
                .arg(QCoreApplication::applicationPid())
                .arg(lpcid));

    KX2Journals journal;
    m_router->settingsLoad(journal, nullptr);
    return true;
}

void AppData::stop()
{
    m_server->stop();
}

bool AppData::shutdown(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    stop();
    // The component first: a request waiting on it (a scan stop, a scan
    // start that waits for an update) is released by its stop, and no
    // reply has to wait for the connections' end.
    m_router->antivirusModule()->shutdown();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return m_server->endConnections(std::max(left, std::chrono::milliseconds(0)));
}

// The event log file from config.json: "logfile" (a path; absent: events
// go to standard output only), "logmaxsize" (bytes before the file is
// rotated, default 10 MiB) and "logbackups" (rotated files kept, default 5).
void AppData::applyLogFile()
{
    const QString path = toString(configuration.value(QStringLiteral("logfile"))).trimmed();
    if (path.isEmpty())
        return;
    const qint64 maxSize = toInt64(configuration.value(QStringLiteral("logmaxsize")));
    const int backups = toInt(configuration.value(QStringLiteral("logbackups")));
    logger.setFilePath(path);
    logger.setMaxSize(maxSize > 0 ? maxSize : kDefaultLogMaxSize);
    logger.setBackups(backups > 0 ? backups : kDefaultLogBackups);
    logger.setOutput(true);
    logger.setCurrentInstance();
}

// Socket access and limits from config.json: "lpcmode" (octal permission
// bits, text like "0660" or a number), "lpcgroup" (group name or id) and
// "lpcmaxconn" (the server's workers, that is requests served at once;
// idle connections do not count). Absent keys keep the defaults: everybody
// may connect, the process's group, 4 workers. A present access key that cannot be read (another
// JSON type, null, blank, an unknown group) stops the start: guessing
// would decide who may connect.
bool AppData::applySocketAccess()
{
    int mode = -1;
    const QJsonValue modeValue = configuration.value(QStringLiteral("lpcmode"));
    if (!modeValue.isUndefined()) {
        bool ok = false;
        mode = toString(modeValue).trimmed().toInt(&ok, 8);
        if (!ok || mode < 0 || mode > 0777) {
            PRINTLN_WITHTIME(QString(QStringLiteral("本地服务启动失败: lpcmode is not an octal mode: ")
                                     + kx2SettingText(modeValue)));
            return false;
        }
    }
    int groupId = -1;
    const QJsonValue groupValue = configuration.value(QStringLiteral("lpcgroup"));
    if (!groupValue.isUndefined()) {
        groupId = int(kx2GroupId(groupValue));
        if (groupId < 0) {
            PRINTLN_WITHTIME(QString(QStringLiteral("本地服务启动失败: unknown lpcgroup: ")
                                     + kx2SettingText(groupValue)));
            return false;
        }
    }
    m_server->setAccess(mode, groupId);
    const int maxServed = toInt(configuration.value(QStringLiteral("lpcmaxconn")));
    m_server->setMaxServed(maxServed > 0 ? maxServed : KX2LocalServer::kDefaultMaxServed);
    return true;
}
