// The scanning pipeline of one task: the walk, the workers and the
// hand-over of detections to the quarantine keeper.

#include "znscanrun.h"

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

#include "kx2dbsqlite.h"
#include "zncleancache.h"
#include "zncleancacheworker.h"
#include "znengineslot.h"
#include "znfilestamp.h"
#include "znquarantinekeeper.h"
#include "znrawpath.h"
#include "zntrace.h"

namespace {

using namespace std::chrono_literals;

const qint64 kProgressIntervalMs = 1000;

// Deepest directory level the walk enters (the task's path is level 0).
// Deeper directories are counted and traced, never entered: the walk's
// memory and its stack grow with the depth.
const int kMaxDepth = 1000;
// Levels whose directories stay open while the walk is below them. A level
// deeper than this closes its directory while it walks a subdirectory and
// reopens it afterwards, so at most this many directories (plus the one
// being listed) are open whatever the depth.
const int kOpenLevels = 32;

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

// "." and "..", and with `skipHidden` every name beginning with ".". Hidden
// names are scanned by default: a leading dot must not hide a file from
// the scan.
bool leftOut(const char* name, bool skipHidden)
{
    return name[0] == '.' && (skipHidden || name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The entries of an open directory but those leftOut().
std::vector<DirEntry> listDirectory(int directory, bool skipHidden)
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
        if (leftOut(entry->d_name, skipHidden))
            continue;
        entries.push_back(DirEntry{QByteArray(entry->d_name), entry->d_type});
    }
    ::closedir(stream);
    std::sort(entries.begin(), entries.end(), entryBefore);
    return entries;
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
            const cl_error_t result =
                cl_scanmap_callback(map, name, virus, scanned, engine, options, &context);
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

ZNScanRun::ZNScanRun(const ZNScanTask& task, ZNEngineSlot& engines, ZNQuarantineKeeper& keeper,
                     KX2DBSqlite& store, ZNCurrentFile& currentFile, ZNCleanCache* cache)
    : scanTask(task)
    , excluded(resolveExcludes(task.path, task.excludes))
    , engines(engines)
    , keeper(keeper)
    , store(store)
    , currentFile(currentFile)
    , cache(cache)
{
}

ZNScanRun::Worker::~Worker() = default;

ZNScanRun::~ZNScanRun()
{
    stop();
    workers.shutdownAndWait();
}

void ZNScanRun::stop()
{
    stopRequested = true;
    files.abort();
}

ZNScanRun::Progress ZNScanRun::progress() const
{
    Progress now;
    now.path = scanTask.path;
    now.taskNo = scanTask.taskNo;
    // A shared copy of the bytes; the readable text is made only here.
    now.currentFile = znDisplayPath(currentFile.get());
    now.scanned = scanned;
    now.total = total(now.scanned);
    now.infected = infected;
    now.skipped = skipped;
    now.limited = limited;
    return now;
}

bool ZNScanRun::run()
{
    target = znRawPath(scanTask.path);
    struct stat info
    {};
    const bool single = znLstat(target, info) && S_ISREG(info.st_mode);
    root = single ? znDirName(target) : target;
    for (const QByteArray& own : {scanTask.quarantineDir, scanTask.cacheDir}) {
        struct stat ownInfo;
        if (!own.isEmpty() && ::stat(own.constData(), &ownInfo) == 0)
            ownDirectories.emplace_back(quint64(ownInfo.st_dev), quint64(ownInfo.st_ino));
    }

    znTrace(ZNTraceBits::TaskThreads,
            QStringLiteral("查杀线程数: ") + QString::number(scanTask.workers));
    for (int i = 0; i < scanTask.workers; ++i) {
        ++activeWorkers;
        if (!workers.start([this] { workerMain(); }))
            --activeWorkers;
    }
    if (!single && !workers.start([this] { countMain(); }))
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法启动计数线程"));
    walk(target);
    // A stop that came before the walk ended leaves files unfound: such a
    // task is stopped even when it scanned all it had found (none, when the
    // stop came before it began).
    const bool walkedWhole = !stopRequested;
    if (unreachable > 0)
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("目录层级过深，未扫描的目录数: ") + QString::number(unreachable));
    // The count has nothing more to tell; its thread ends at its next entry.
    walkEnded = true;
    files.close();
    using namespace std::chrono_literals;
    while (activeWorkers > 0)
        workers.waitFor([this] { return activeWorkers == 0; }, 1000ms);
    return walkedWhole && !(stopRequested && found > scanned);
}

// --- The walk ---------------------------------------------------------------------

void ZNScanRun::walk(const QByteArray& path)
{
    sinceProgress.start();
    struct stat info;
    if (znLstat(path, info) && S_ISREG(info.st_mode)) {
        ++found;
        files.push(path);
    } else {
        KX2UniqueFd directory(
            ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (directory.isValid())
            walkDirectory(std::move(directory), path, 0);
    }
    recordProgress();
}

// Once the walk ended, its count is the truth; until then the count ahead
// of it gives the whole tree. Never below `done`, the files scanned.
int ZNScanRun::total(int done) const
{
    const int ahead = walkEnded ? 0 : int(counted);
    return qMax(qMax(int(found), ahead), done);
}

void ZNScanRun::recordProgress()
{
    const int done = scanned;
    store.call(QStringLiteral("task_realtime"),
               {
                   {QStringLiteral("tskno"), scanTask.taskNo},
                   {QStringLiteral("totality"), total(done)},
                   {QStringLiteral("resolved"), done},
                   {QStringLiteral("infectes"), int(infected)},
               });
}

// Walks one open directory depth first. Subdirectories are opened relative
// to their parent without following links, so a link planted in the share
// never leads the walk outside it. Below kOpenLevels a level gives its
// descriptor up while it walks a subdirectory and reopens it afterwards
// (the same directory, or the level ends).
void ZNScanRun::walkDirectory(KX2UniqueFd directory, const QByteArray& path, int depth)
{
    struct stat self;
    if (::fstat(directory.get(), &self) != 0)
        return;
    struct stat info;
    const QByteArray prefix = path.endsWith('/') ? path : path + '/';
    for (const DirEntry& entry : listDirectory(directory.get(), scanTask.skipHidden)) {
        if (stopRequested)
            return;
        if (!directory.isValid() && !(directory = reopenDirectory(path, self)).isValid())
            return;
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            if (::fstatat(directory.get(), entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
        }
        const QByteArray child = prefix + entry.name;
        if (type == DT_REG) {
            ++found;
            if (!files.push(child))
                return;
            if (sinceProgress.elapsed() > kProgressIntervalMs) {
                recordProgress();
                sinceProgress.start();
            }
        } else if (type == DT_DIR) {
            if (depth >= kMaxDepth) {
                ++unreachable;
                znTrace(ZNTraceBits::FileFailures,
                        QStringLiteral("目录层级过深，未扫描: ") + znDisplayPath(child));
                continue;
            }
            KX2UniqueFd sub = enterDirectory(directory.get(), entry.name, child);
            if (!sub.isValid())
                continue;
            if (depth >= kOpenLevels)
                directory.reset();
            walkDirectory(std::move(sub), child, depth + 1);
        }
    }
}

// `path` opened again below the task's directory without following links;
// invalid unless it is still the directory `was` describes.
KX2UniqueFd ZNScanRun::reopenDirectory(const QByteArray& path, const struct stat& was) const
{
    KX2UniqueFd again = znOpenDirBeneath(target, path.mid(target.size()));
    struct stat now;
    if (!again.isValid() || ::fstat(again.get(), &now) != 0 || now.st_dev != was.st_dev
        || now.st_ino != was.st_ino) {
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("目录已变化，停止遍历: ") + znDisplayPath(path));
        return KX2UniqueFd();
    }
    return again;
}

KX2UniqueFd ZNScanRun::enterDirectory(int directory, const QByteArray& name,
                                      const QByteArray& child) const
{
    if (excluded.contains(znDisplayPath(child)))
        return KX2UniqueFd();
    KX2UniqueFd sub(
        ::openat(directory, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    // The quarantine and the cache are never walked, however the task
    // names them.
    if (!sub.isValid() || ::fstat(sub.get(), &info) != 0)
        return KX2UniqueFd();
    const std::pair<quint64, quint64> identity(quint64(info.st_dev), quint64(info.st_ino));
    if (std::find(ownDirectories.begin(), ownDirectories.end(), identity) != ownDirectories.end())
        return KX2UniqueFd();
    return sub;
}

// --- The count ahead --------------------------------------------------------------

void ZNScanRun::countMain()
{
    KX2UniqueFd top(::open(target.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (top.isValid())
        countDirectory(top.get(), target, 0);
}

// The walk's rules without its order: entries are counted as readdir gives
// them, and only the current entry's name is held. Each level keeps its
// directory open, so the count goes no deeper than kOpenLevels; the walk
// counts what lies below when it gets there.
void ZNScanRun::countDirectory(int directory, const QByteArray& path, int depth)
{
    const int copy = ::dup(directory);
    DIR* stream = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!stream) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
    const QByteArray prefix = path.endsWith('/') ? path : path + '/';
    while (const dirent* entry = ::readdir(stream)) {
        if (stopRequested || walkEnded)
            return;
        const char* name = entry->d_name;
        if (leftOut(name, scanTask.skipHidden))
            continue;
        unsigned char type = entry->d_type;
        struct stat info;
        if (type == DT_UNKNOWN) {
            if (::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_REG) {
            ++counted;
        } else if (type == DT_DIR && depth < kOpenLevels) {
            const QByteArray child = prefix + name;
            KX2UniqueFd sub = enterDirectory(directory, QByteArray(name), child);
            if (sub.isValid())
                countDirectory(sub.get(), child, depth + 1);
        }
    }
}

// --- The workers ----------------------------------------------------------------

void ZNScanRun::workerMain()
{
    Worker worker;
    if (cache)
        worker.cache = cache->worker();
    QByteArray path;
    while (!stopRequested && files.pop(path)) {
        const unsigned current = engines.generation();
        if (!worker.engine || current != worker.generation) {
            worker.generation = current;
            QByteArray digest;
            worker.engine = engines.current(&digest);
            if (worker.cache)
                worker.cache->useEngine(worker.engine.get(), digest);
        }
        currentFile.set(path);
        scanFile(path, worker);
    }
    // Release the engine and the cache's reader before reporting the end,
    // so a task's end never races an engine swap with a stale reference,
    // nor the cache's finish with an open reader.
    worker.engine.reset();
    worker.cache.reset();
    if (--activeWorkers == 0)
        workers.wakeAll();
}

// Opens `path` (below the task's directory) relative to its directory,
// which is opened component by component from the task's directory
// without following links: a parent swapped for a link since the walk
// never leads the worker outside the tree, so only what was walked is
// read. Works at any depth, beyond the length a path string may have.
int ZNScanRun::openForScan(const QByteArray& path, WorkerDirectory& directory) const
{
    const QByteArray parent = znDirName(path);
    if (!directory.fd.isValid() || directory.path != parent) {
        directory.path = parent;
        directory.fd = znOpenDirBeneath(root, parent.mid(root.size()));
    }
    if (!directory.fd.isValid())
        return -1;
    const QByteArray name = znBaseName(path);
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // Not touching access times spares a write per scanned file; the kernel
    // allows it only to the owner or a privileged process.
    int fd = ::openat(directory.fd.get(), name.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::openat(directory.fd.get(), name.constData(), flags);
    return fd;
}

void ZNScanRun::scanFile(const QByteArray& path, Worker& worker)
{
    KX2UniqueFd fd(openForScan(path, worker.directory));
    struct stat info;
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = fd.isValid() ? 0 : errno;
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("打开文件失败: ") + znDisplayPath(path));
        // Gone or replaced since the walk found it: nothing left to scan.
        // A file that is there but cannot be opened was not scanned.
        if (error != 0 && error != ENOENT && error != ENOTDIR && error != ELOOP) {
            ++scanned;
            countLimited(path, QStringLiteral("unreadable: ")
                                   + QString::fromLocal8Bit(std::strerror(error)));
        }
        return;
    }
    // The stamp of the very descriptor that would be scanned, with the
    // identity of its file system when that is one the cache may serve.
    ZNFileStamp stamp = ZNFileStamp::of(info);
    ZNCleanCacheWorker* const known = worker.cache.get();
    const bool cacheable = known && known->onTrustedFileSystem(fd.get(), &stamp);
    if (cacheable && known->knownClean(stamp)) {
        ++skipped;
        ++scanned;
        return;
    }
    const bool rememberable = cacheable && known->mayRemember(fd.get(), stamp);

    const char* virus = nullptr;
    unsigned long scannedBytes = 0;
    cl_scan_options options = *engines.options();
    cl_error_t result = CL_ENULLARG;
    if (scanTask.limits.exceedsFileSize(info.st_size)) {
        result = CL_VIRUS;
        virus = ZNScanLimits::kFileSizeExceeded;
    } else if (worker.engine) {
        const auto scan = [&] {
            return scanOpenFile(fd.get(), qint64(info.st_size), path.constData(),
                                worker.engine.get(), &options, worker.buffer, &virus,
                                &scannedBytes);
        };
        {
            ZNTempSpill::Pass pass(engines.spill);
            result = scan();
        }
        if (ZNTempSpill::outOfRoom(result))
            result = engines.spill.spill(worker.engine.get(), result, scan);
    }
    ++scanned;
    if (result == CL_CLEAN && rememberable)
        known->foundClean(stamp);
    const QString limit = scanTask.limits.limitReason(result, virus);
    if (!limit.isEmpty()) {
        countLimited(path, limit);
        return;
    }
    if (result != CL_VIRUS)
        return;
    ++infected;
    // The raw path, so that a name in another encoding shows byte for byte.
    znEvent(QStringLiteral("[detect] task=%1 mission=%2 virus=%3 path=")
                .arg(scanTask.taskNo)
                .arg(scanTask.missionNo)
                .arg(virus ? QString::fromUtf8(virus) : QString())
                .toUtf8()
            + path);

    ZNDetection detection;
    detection.root = root;
    detection.relative = path.mid(root.endsWith('/') ? root.size() : root.size() + 1);
    detection.quarantine = scanTask.quarantineDir;
    detection.virus = virus ? QString::fromUtf8(virus) : QString();
    detection.taskNo = scanTask.taskNo;
    detection.missionNo = scanTask.missionNo;
    detection.identity = znFileIdentity(info);
    detection.changedSec = info.st_ctim.tv_sec;
    detection.changedNsec = info.st_ctim.tv_nsec;
    keeper.queueDetection(std::move(detection));
}

void ZNScanRun::countLimited(const QByteArray& path, const QString& reason)
{
    ++limited;
    znEvent(QStringLiteral("[limited] task=%1 mission=%2 reason=%3 path=")
                .arg(scanTask.taskNo)
                .arg(scanTask.missionNo)
                .arg(reason)
                .toUtf8()
            + path);
}
