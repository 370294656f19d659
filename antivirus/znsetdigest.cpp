#include "znsetdigest.h"

#include <QCryptographicHash>
#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "kx2uniquefd.h"
#include "znvirusdbset.h"

namespace {

// The entries of `directory` that cl_load may read: everything but "."
// and "..", subdirectories and the service's own mark, sorted.
QList<QByteArray> setEntries(int directory)
{
    QList<QByteArray> names;
    const int copy = ::dup(directory);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!listing) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == ".." || entry->d_type == DT_DIR || znIsVirusdbSetMark(name))
            continue;
        names << name;
    }
    std::sort(names.begin(), names.end());
    return names;
}

KX2UniqueFd openDirectory(const QByteArray& path)
{
    return KX2UniqueFd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The entry as cl_load reaches it (links followed); invalid when it is
// gone. Never blocks on a FIFO.
KX2UniqueFd openEntry(int directory, const QByteArray& name)
{
    return KX2UniqueFd(
        ::openat(directory, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

QByteArray md5Of(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        hash.addData(buffer.data(), int(got));
    }
    return hash.result();
}

void addNumber(QCryptographicHash& hash, qint64 value)
{
    hash.addData(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

QByteArray znSetFilesStamp(const QByteArray& directory)
{
    const KX2UniqueFd set = openDirectory(directory);
    QByteArray stamp;
    if (!set.isValid())
        return stamp;
    for (const QByteArray& name : setEntries(set.get())) {
        struct stat info;
        if (::fstatat(set.get(), name.constData(), &info, 0) != 0) {
            stamp += name + " ?\n";
            continue;
        }
        const qint64 fields[] = {qint64(info.st_dev),         qint64(info.st_ino),
                                 qint64(info.st_mode),        qint64(info.st_size),
                                 qint64(info.st_mtim.tv_sec), qint64(info.st_mtim.tv_nsec),
                                 qint64(info.st_ctim.tv_sec), qint64(info.st_ctim.tv_nsec)};
        stamp += name + ' ';
        for (const qint64 field : fields)
            stamp += QByteArray::number(field) + ' ';
        stamp += '\n';
    }
    return stamp;
}

QByteArray znSetFilesDigest(const QByteArray& directory)
{
    const KX2UniqueFd set = openDirectory(directory);
    if (!set.isValid())
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray& name : setEntries(set.get())) {
        const KX2UniqueFd file = openEntry(set.get(), name);
        struct stat info;
        if (!file.isValid() || ::fstat(file.get(), &info) != 0)
            return QByteArray();
        hash.addData(name);
        hash.addData("", 1);
        if (!S_ISREG(info.st_mode)) {
            // Not a file libclamav can take; named, so its coming or going
            // changes the digest.
            addNumber(hash, -1);
            continue;
        }
        const QByteArray md5 = md5Of(file.get());
        if (md5.isEmpty())
            return QByteArray();
        addNumber(hash, qint64(info.st_size));
        hash.addData(md5);
    }
    return hash.result();
}

QByteArray znDetectionDigest(const QByteArray& setDigest, const cl_engine* engine,
                             const cl_scan_options& options, unsigned dbOptions)
{
    if (setDigest.isEmpty() || !engine)
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(setDigest);
    hash.addData(cl_retver());
    hash.addData("", 1);
    addNumber(hash, qint64(cl_retflevel()));
    addNumber(hash, qint64(dbOptions));
    for (const quint32 word :
         {options.general, options.parse, options.heuristic, options.mail, options.dev})
        addNumber(hash, qint64(word));
    // The numeric settings that bear on a verdict: limits, matcher and
    // bytecode settings, and the set's own version and time.
    static const cl_engine_field kFields[] = {
        CL_ENGINE_MAX_SCANSIZE,
        CL_ENGINE_MAX_FILESIZE,
        CL_ENGINE_MAX_RECURSION,
        CL_ENGINE_MAX_FILES,
        CL_ENGINE_MIN_CC_COUNT,
        CL_ENGINE_MIN_SSN_COUNT,
        CL_ENGINE_DB_OPTIONS,
        CL_ENGINE_DB_VERSION,
        CL_ENGINE_DB_TIME,
        CL_ENGINE_AC_ONLY,
        CL_ENGINE_AC_MINDEPTH,
        CL_ENGINE_AC_MAXDEPTH,
        CL_ENGINE_BYTECODE_SECURITY,
        CL_ENGINE_BYTECODE_TIMEOUT,
        CL_ENGINE_BYTECODE_MODE,
        CL_ENGINE_MAX_EMBEDDEDPE,
        CL_ENGINE_MAX_HTMLNORMALIZE,
        CL_ENGINE_MAX_HTMLNOTAGS,
        CL_ENGINE_MAX_SCRIPTNORMALIZE,
        CL_ENGINE_MAX_ZIPTYPERCG,
        CL_ENGINE_FORCETODISK,
        CL_ENGINE_DISABLE_CACHE,
        CL_ENGINE_MAX_PARTITIONS,
        CL_ENGINE_MAX_ICONSPE,
        CL_ENGINE_MAX_RECHWP3,
        CL_ENGINE_MAX_SCANTIME,
        CL_ENGINE_PCRE_MATCH_LIMIT,
        CL_ENGINE_PCRE_RECMATCH_LIMIT,
        CL_ENGINE_PCRE_MAX_FILESIZE,
    };
    for (const cl_engine_field field : kFields) {
        int error = CL_SUCCESS;
        const long long value = cl_engine_get_num(engine, field, &error);
        addNumber(hash, error == CL_SUCCESS ? qint64(value) : qint64(-1));
    }
    const char* categories = cl_engine_get_str(engine, CL_ENGINE_PUA_CATEGORIES, nullptr);
    hash.addData(categories ? categories : "");
    return hash.result();
}
