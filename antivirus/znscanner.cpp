// The scanning pipeline of one task: the directory walk on the task thread
// feeds raw file paths into the bounded queue scanFiles; N worker threads
// scan each file through a read-only descriptor and hand every detection to
// the quarantine keeper.

#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kx2values.h"
#include "znantivirus_p.h"
#include "znrawpath.h"
#include "zntrace.h"

namespace {

using namespace std::chrono_literals;

const int kStateStopped = 8;
const int kStateCompleted = 9;

const qint64 kProgressIntervalMs = 1000;

// The scan context libclamav passes on to callbacks; none is registered,
// so it is never read.
struct ScanContext
{
    const char* name = "instream(local)";
    unsigned long size = 0;
    char hash[33] = {};
    void* data = nullptr;
};

// Files up to this size are read whole into memory and scanned from there.
// libclamav maps a descriptor into fresh anonymous memory, reads every page
// before it reads the file into it and unmaps it after the scan; with
// several workers each of those page changes makes the kernel flush the
// other cores' TLBs with an interrupt (6 % of a scan's CPU time with two
// workers). A buffer the worker keeps is written without faults, and a
// fresh one is first touched by the read, which needs no flush. Larger
// files go through the descriptor, whose map holds a few MB at a time.
const qint64 kMemoryScanLimit = 8 * 1024 * 1024;
// Files up to this size are read into the buffer the worker keeps; larger
// ones into a buffer of their own, freed after their scan.
const qint64 kKeptBufferLimit = 1024 * 1024;

struct DirEntry
{
    QByteArray name;
    unsigned char type;
};

// Case-insensitive order of names (ASCII letters), raw bytes on ties.
bool entryBefore(const DirEntry& a, const DirEntry& b)
{
    const int common = qMin(a.name.size(), b.name.size());
    for (int i = 0; i < common; ++i) {
        const int x = ::tolower(static_cast<unsigned char>(a.name[i]));
        const int y = ::tolower(static_cast<unsigned char>(b.name[i]));
        if (x != y)
            return x < y;
    }
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}

// The visible entries of an open directory: no ".", "..", nor hidden names.
std::vector<DirEntry> listDirectory(int directory)
{
    std::vector<DirEntry> entries;
    const int copy = ::dup(directory);
    if (copy < 0)
        return entries;
    DIR* stream = ::fdopendir(copy);
    if (!stream) {
        ::close(copy);
        return entries;
    }
    while (const dirent* entry = ::readdir(stream)) {
        if (entry->d_name[0] == '.')
            continue;
        entries.push_back(DirEntry{QByteArray(entry->d_name), entry->d_type});
    }
    ::closedir(stream);
    std::sort(entries.begin(), entries.end(), entryBefore);
    return entries;
}

int openForScan(const QByteArray& path)
{
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // Not touching access times spares a write per scanned file; the kernel
    // allows it only to the owner or a privileged process.
    int fd = ::open(path.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(path.constData(), flags);
    return fd;
}

// Reads up to `size` bytes of `fd` from its start into `data`; the number
// read (less when the file shrank meanwhile), or -1 on a read error.
qint64 readWhole(int fd, char* data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size_t(size - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

// Scans the open regular file `fd` of `size` bytes (its size when it was
// opened, as libclamav takes it for a descriptor). `kept` is the worker's
// buffer.
cl_error_t scanOpenFile(int fd, qint64 size, const char* name, const cl_engine* engine,
                        cl_scan_options* options, std::vector<char>& kept, const char** virus,
                        unsigned long* scanned)
{
    ScanContext context;
    if (size > 0 && size <= kMemoryScanLimit) {
        std::unique_ptr<char[]> own;
        char* data = nullptr;
        if (size <= kKeptBufferLimit) {
            try {
                if (qint64(kept.size()) < size)
                    kept.resize(size_t(qBound(size, qint64(kept.size()) * 2, kKeptBufferLimit)));
                data = kept.data();
            } catch (const std::bad_alloc&) {
                // No memory for the buffer: the descriptor road below.
            }
        } else {
            own.reset(new (std::nothrow) char[size_t(size)]);
            data = own.get();
        }
        const qint64 length = data ? readWhole(fd, data, size) : -1;
        if (length == 0)
            return CL_CLEAN; // emptied since it was opened: nothing to scan
        cl_fmap_t* map = length > 0 ? cl_fmap_open_memory(data, size_t(length)) : nullptr;
        if (map) {
            const cl_error_t result
                = cl_scanmap_callback(map, name, virus, scanned, engine, options, &context);
            cl_fmap_close(map);
            return result;
        }
        // No memory, a read error or no map: the descriptor path reports
        // it the way it reports any other file.
    }
    return cl_scandesc_callback(fd, name, virus, scanned, engine, options, &context);
}

// Directory paths of the task's exclusions. Relative entries (the built-in
// overall exclusions are bare names) are taken below the task's path.
QStringList resolveExcludes(const QString& taskPath, const QString& excludes)
{
    QStringList resolved;
    for (const QString& entry : excludes.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString trimmed = entry.trimmed();
        if (trimmed.isEmpty())
            continue;
        resolved << (trimmed.startsWith(QLatin1Char('/')) ? trimmed
                                                          : taskPath + QLatin1Char('/') + trimmed);
    }
    return resolved;
}

} // namespace

void ZNAntiVirusPrivate::runTask(const QJsonObject& task)
{
    const int tskno = toInt(task.value(QLatin1String("tskno")));
    const int msnno = toInt(task.value(QLatin1String("msnno")));
    const QString path = task.value(QLatin1String("path")).toString().trimmed();
    {
        std::lock_guard<std::mutex> lock(scanPathMutex);
        scanPath = path;
    }
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("开始查杀毒: ") + path);
    taskNo = tskno;
    missionNo = msnno;
    scanExcludes = resolveExcludes(path, task.value(QLatin1String("excludes")).toString().trimmed());
    totality = 0;
    resolved = 0;
    infectes = 0;
    scanFiles.reset();
    if (stopRequested)
        scanFiles.abort();
    searching = true;

    scanTarget = znRawPath(path);
    struct stat info{};
    const bool single = znLstat(scanTarget, info) && S_ISREG(info.st_mode);
    scanRoot = single ? znDirName(scanTarget) : scanTarget;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        scanQuarantine = quarantinePath.toUtf8();
    }
    struct stat quarantineInfo;
    quarantineKnown = ::stat(scanQuarantine.constData(), &quarantineInfo) == 0;
    quarantineDevice = quint64(quarantineInfo.st_dev);
    quarantineInode = quint64(quarantineInfo.st_ino);

    const int workers = workerCount();
    znTrace(ZNTraceBits::TaskThreads, QStringLiteral("查杀线程数: ") + QString::number(workers));
    QElapsedTimer elapsed;
    elapsed.start();
    for (int i = 0; i < workers; ++i) {
        ++activeWorkers;
        if (!background.start([this] { antivirusThreads(); }))
            --activeWorkers;
    }

    searchDir(scanTarget);
    searching = false;
    scanFiles.close();
    while (activeWorkers > 0)
        background.waitFor([this] { return activeWorkers == 0; }, 1000ms);

    const int seconds = int(elapsed.elapsed() / 1000);
    scanEndTime = int(QDateTime::currentSecsSinceEpoch());
    const int found = totality, scanned = resolved, infected = infectes;
    const int state = (stopRequested && found > scanned) ? kStateStopped : kStateCompleted;
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("查杀毒完成: ") + path);
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("文件总数量: ") + QString::number(found));
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("查杀文件数: ") + QString::number(scanned));
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("有毒文件数: ") + QString::number(infected));
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("查杀总耗时: ") + QString::number(seconds) + QStringLiteral("秒"));

    const QJsonObject completion{
        {QStringLiteral("state"), state},       {QStringLiteral("tskno"), tskno},
        {QStringLiteral("times"), seconds},     {QStringLiteral("totality"), found},
        {QStringLiteral("resolved"), scanned},  {QStringLiteral("infectes"), infected},
    };
    for (const char* statement : {"task_complete", "log_assign_task", "task_remove"}) {
        if (!database.call(QLatin1String(statement), completion)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + database.lastError());
            break;
        }
    }
}

void ZNAntiVirusPrivate::searchUpdateTotality()
{
    const int scanned = resolved;
    database.call(QStringLiteral("task_realtime"), {
        {QStringLiteral("tskno"), int(taskNo)},
        {QStringLiteral("totality"), qMax(int(totality), scanned)},
        {QStringLiteral("resolved"), scanned},
        {QStringLiteral("infectes"), int(infectes)},
    });
}

bool ZNAntiVirusPrivate::searchDir(const QByteArray& path)
{
    const bool previous = searchRunning.exchange(true);
    searchTimer.start();
    totality = 0;

    struct stat info;
    if (znLstat(path, info) && S_ISREG(info.st_mode)) {
        ++totality;
        scanFiles.push(path);
    } else {
        ZNFd directory(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (directory.isValid())
            searchSubDir(directory.get(), path, 0);
    }
    searchUpdateTotality();
    searching = false;
    searchRunning = false;
    return previous;
}

// Walks one open directory depth first. Subdirectories are opened relative
// to their parent without following links, so a link planted in the share
// never leads the walk outside it.
void ZNAntiVirusPrivate::searchSubDir(int directory, const QByteArray& path, int depth)
{
    struct stat info;
    const QByteArray prefix = path.endsWith('/') ? path : path + '/';
    for (const DirEntry& entry : listDirectory(directory)) {
        if (searchStop || stopRequested)
            return;
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            if (::fstatat(directory, entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
        }
        const QByteArray child = prefix + entry.name;
        if (type == DT_REG) {
            ++totality;
            if (!scanFiles.push(child))
                return;
            if (searchTimer.elapsed() > kProgressIntervalMs) {
                searchUpdateTotality();
                searchTimer.start();
            }
        } else if (type == DT_DIR) {
            if (scanExcludes.contains(znDisplayPath(child)))
                continue;
            ZNFd sub(::openat(directory, entry.name.constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            // The quarantine is never walked, however the task names it.
            if (!sub.isValid() || ::fstat(sub.get(), &info) != 0
                || (quarantineKnown && quint64(info.st_dev) == quarantineDevice
                    && quint64(info.st_ino) == quarantineInode))
                continue;
            searchSubDir(sub.get(), child, depth + 1);
        }
    }
}

void ZNAntiVirusPrivate::antivirusThreads()
{
    ZNEngineRef engine;
    unsigned generation = 0;
    QByteArray path;
    // Reused from file to file (up to 1 MiB); freed when the worker ends.
    std::vector<char> buffer;
    while (!stopRequested && scanFiles.pop(path)) {
        const unsigned current = engineGeneration;
        if (!engine || current != generation) {
            generation = current;
            engine = currentEngine();
        }
        {
            // A shared copy of the bytes; the readable text is made only when
            // someone asks for progress.
            std::lock_guard<std::mutex> lock(currentFileMutex);
            currentFile = path;
        }
        if (!scanFile(path, engine, buffer))
            znTrace(ZNTraceBits::FileFailures, QStringLiteral("打开文件失败: ") + znDisplayPath(path));
    }
    // Release the engine before reporting the end, so a task's end never
    // races an engine swap with a stale reference.
    engine.reset();
    if (--activeWorkers == 0)
        background.wakeAll();
}

bool ZNAntiVirusPrivate::scanFile(const QByteArray& path, const ZNEngineRef& engine,
                                  std::vector<char>& buffer)
{
    ZNFd fd(openForScan(path));
    struct stat info;
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;

    const char* virus = nullptr;
    unsigned long scannedBytes = 0;
    const cl_error_t result = engine
        ? scanOpenFile(fd.get(), qint64(info.st_size), path.constData(), engine.get(), &scanOptions,
                       buffer, &virus, &scannedBytes)
        : CL_ENULLARG;
    ++resolved;
    if (result != CL_VIRUS)
        return true;
    ++infectes;

    ZNDetection detection;
    const QByteArray root = scanRoot;
    detection.root = root;
    detection.relative = path.mid(root.endsWith('/') ? root.size() : root.size() + 1);
    detection.quarantine = scanQuarantine;
    detection.virus = virus ? QString::fromUtf8(virus) : QString();
    detection.taskNo = taskNo;
    detection.missionNo = missionNo;
    detection.identity = znFileIdentity(info);
    detection.changedSec = info.st_ctim.tv_sec;
    detection.changedNsec = info.st_ctim.tv_nsec;
    queueDetection(std::move(detection));
    return true;
}
