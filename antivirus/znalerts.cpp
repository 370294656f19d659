#include "znalerts.h"

#include "kx2values.h"
#include "zntrace.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const QList<QByteArray> kKinds{"detect", "update-failed", "engine-fallback"};

// Pointers to the strings of `list`, null-terminated, as exec wants them.
std::vector<char*> pointers(std::vector<QByteArray>& list)
{
    std::vector<char*> out;
    out.reserve(list.size() + 1);
    for (QByteArray& item : list)
        out.push_back(item.data());
    out.push_back(nullptr);
    return out;
}

// The service's environment, without variables of ours it may have been
// given, and the alert's in front.
std::vector<QByteArray> environmentFor(const QByteArray& kind, const ZNAlerts::Details& details)
{
    std::vector<QByteArray> out{"ZN_EVENT=" + kind};
    for (const auto& detail : details) {
        QByteArray value = detail.second;
        out.push_back(detail.first + '=' + value.replace('\0', ""));
    }
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "ZN_", 3) != 0)
            out.emplace_back(*entry);
    }
    return out;
}

QString describeStatus(int status)
{
    if (WIFEXITED(status))
        return QStringLiteral("exited with status %1").arg(WEXITSTATUS(status));
    return QStringLiteral("ended by signal %1").arg(WTERMSIG(status));
}

} // namespace

ZNAlerts::ZNAlerts() : stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ZNAlerts::~ZNAlerts()
{
    stop();
}

bool ZNAlerts::configure(const QJsonObject& configuration, QString* problem)
{
    Setup next;
    const QJsonValue program = configuration.value(QLatin1String("alertcommand"));
    if (!program.isUndefined() && !program.isNull()) {
        for (const QJsonValue& part : program.toArray())
            next.command << (part.isString() ? QFile::encodeName(part.toString()) : QByteArray());
        if (next.command.isEmpty() || !next.command.first().startsWith('/')
            || next.command.contains(QByteArray())) {
            *problem = QStringLiteral("alertcommand must be an array: the program's absolute "
                                      "path, then its arguments, each a non-empty string");
            return false;
        }
    }
    if (configuration.contains(QLatin1String("alertevents"))) {
        next.kinds.clear();
        for (const QJsonValue& kind : configuration.value(QLatin1String("alertevents")).toArray()) {
            const QByteArray name = kind.toString().toUtf8();
            if (!kKinds.contains(name)) {
                *problem = QStringLiteral("alertevents may hold \"detect\", \"update-failed\" and "
                                          "\"engine-fallback\"");
                return false;
            }
            next.kinds << name;
        }
    }
    if (configuration.contains(QLatin1String("alerttimeout")))
        next.timeoutMs =
            qBound(1, toInt(configuration.value(QLatin1String("alerttimeout"))), 3600) * 1000;
    KX2MutexLocker lock(mutex);
    setup = next;
    return true;
}

void ZNAlerts::notify(const QByteArray& kind, const Details& details)
{
    KX2MutexLocker lock(mutex);
    if (stopping || setup.command.isEmpty() || !setup.kinds.contains(kind))
        return;
    if (int(alerts.size()) >= kMaxQueued) {
        ++dropped;
        return;
    }
    alerts.push_back({kind, details});
    if (!running)
        running = thread.start([this] { threadMain(); });
    queued.notify_one();
}

void ZNAlerts::stop()
{
    {
        KX2MutexLocker lock(mutex);
        stopping = true;
        alerts.clear();
    }
    queued.notify_all();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd.get(), &one, sizeof one);
    thread.shutdownAndWait();
}

void ZNAlerts::threadMain()
{
    for (;;) {
        Alert next;
        Setup with;
        int lost = 0;
        {
            KX2MutexLocker lock(mutex);
            while (alerts.empty() && !stopping)
                lock.wait(queued);
            if (stopping)
                return;
            next = std::move(alerts.front());
            alerts.pop_front();
            with = setup;
            lost = dropped;
            dropped = 0;
        }
        if (lost > 0)
            znEvent(QStringLiteral("[hook-failed] %1 alerts dropped: the command does not keep up")
                        .arg(lost));
        const QString failure = run(next, with);
        if (!failure.isEmpty())
            znEvent(QStringLiteral("[hook-failed] event=%1 %2")
                        .arg(QString::fromUtf8(next.kind), failure));
    }
}

QString ZNAlerts::run(const Alert& alert, const Setup& with)
{
    std::vector<QByteArray> arguments(with.command.begin(), with.command.end());
    std::vector<QByteArray> environment = environmentFor(alert.kind, alert.details);
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);

    // Default signal handling (the service ignores some), nothing blocked,
    // a process group of its own for the kill at the time limit.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return QStringLiteral("cannot start %1: %2")
            .arg(QFile::decodeName(with.command.first()),
                 QString::fromLocal8Bit(std::strerror(error)));
    return waitFor(pid, with.timeoutMs);
}

// Waits for the run to end, its time limit, or stop(), whichever comes
// first; the two latter kill its process group.
QString ZNAlerts::waitFor(int pid, int timeoutMs)
{
    QString killed;
    const KX2UniqueFd process(int(::syscall(SYS_pidfd_open, pid, 0)));
    if (process.isValid()) {
        pollfd watched[2] = {{process.get(), POLLIN, 0}, {stopFd.get(), POLLIN, 0}};
        const QDeadlineTimer deadline(timeoutMs);
        int ready;
        do
            ready = ::poll(watched, 2, int(deadline.remainingTime()));
        while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (watched[0].revents & POLLIN) == 0) {
            killed = ready == 0
                ? QStringLiteral("killed at its time limit of %1 s").arg(timeoutMs / 1000)
                : QStringLiteral("killed: the service stops");
            ::kill(-pid, SIGKILL);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (!killed.isEmpty())
        return killed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? QString() : describeStatus(status);
}
