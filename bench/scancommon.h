// What the scanning benchmark's parts share: what a tool reported for a
// corpus, file and process helpers, and the walk the peers' clients use.
// Header-only, like the other benchmark helpers; one benchmark process.

#ifndef SCANCOMMON_H
#define SCANCOMMON_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scanbench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Scan threads of every tool: the service's workers, clamd's MaxThreads.
const int kWorkers = 2;
// The service remembers no file changed within this many seconds before
// its scan (kZNSettledSeconds in antivirus/znremembercheck.h).
const int kSettledSeconds = 3;

// What one tool reported for one corpus.
struct Outcome
{
    bool ok = false;
    qint64 files = 0;
    std::set<QByteArray> infected; // paths relative to the corpus root
    double seconds = 0;
    double cpuSeconds = -1; // of the scanning process, when known
    qint64 skipped = -1;    // the service's files known unchanged, when known
    double filesPerSecond() const { return seconds > 0 ? double(files) / seconds : 0; }
};

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Owns one descriptor.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

inline bool writeAt(int directory, const char* name, const QByteArray& bytes)
{
    Fd fd(::openat(directory, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.get() >= 0
        && ::write(fd.get(), bytes.constData(), size_t(bytes.size())) == bytes.size();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeAt(AT_FDCWD, QFile::encodeName(path).constData(), bytes);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The 68-byte antivirus test string, assembled at run time so that no
// source file holds it in one piece.
inline QByteArray eicar()
{
    return QByteArray("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + QByteArray("EICAR-STANDARD-")
        + QByteArray("ANTIVIRUS-TEST-FILE!$H+H*");
}

// An .hdb line (MD5:size:name) for `bytes`.
inline QByteArray hdbLineFor(const QByteArray& bytes, const char* name)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() + ':'
        + QByteArray::number(bytes.size()) + ':' + name + '\n';
}

// utime + stime of every thread of `pid`, in clock ticks.
inline std::map<int, long long> threadTicks(qint64 pid)
{
    std::map<int, long long> ticks;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray line = readFile(tasks.filePath(tid) + "/stat");
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            ticks[tid.toInt()] = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    }
    return ticks;
}

// utime + stime of the whole process (exited threads included), in clock
// ticks.
inline long long processTicks(qint64 pid)
{
    const QByteArray line = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

inline double processCpuSeconds(qint64 pid)
{
    return double(processTicks(pid)) / double(sysconf(_SC_CLK_TCK));
}

// A fresh, empty directory for one tool's libclamav temporary files.
inline QString scratchFor(const QString& parent, const QString& tool)
{
    QDir(parent + '/' + tool).removeRecursively();
    QDir().mkpath(parent + '/' + tool);
    return parent + '/' + tool;
}

inline QByteArray relativeTo(const QByteArray& path, const QString& root)
{
    const QByteArray prefix = QFile::encodeName(root) + '/';
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

// Collects "PATH: NAME FOUND" lines of clamscan and clamdscan output.
inline void parseFound(const QByteArray& output, const QString& root, Outcome& outcome)
{
    for (const QByteArray& line : output.split('\n')) {
        if (!line.endsWith(" FOUND"))
            continue;
        const int colon = line.lastIndexOf(": ", line.size() - 7);
        if (colon > 0)
            outcome.infected.insert(relativeTo(line.left(colon), root));
    }
}

// Depth-first walk calling `visit` with every regular file's path.
inline void walkFiles(const QByteArray& path, const std::function<void(const QByteArray&)>& visit)
{
    DIR* directory = ::opendir(path.constData());
    if (!directory)
        return;
    std::vector<std::pair<QByteArray, bool>> entries;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        const QByteArray child = path + '/' + entry->d_name;
        if (entry->d_type == DT_DIR || entry->d_type == DT_REG) {
            entries.emplace_back(child, entry->d_type == DT_DIR);
        } else if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            if (::lstat(child.constData(), &info) == 0
                && (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)))
                entries.emplace_back(child, S_ISDIR(info.st_mode));
        }
    }
    ::closedir(directory);
    for (const auto& entry : entries) {
        if (entry.second)
            walkFiles(entry.first, visit);
        else
            visit(entry.first);
    }
}

} // namespace scanbench

#endif // SCANCOMMON_H
