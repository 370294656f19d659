#include "znvirusdbset.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2uniquefd.h"
#include "zntrace.h"

namespace {

const char kProvenMark[] = ".proven";

QByteArray nativeName(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).fileName());
}

// The directory that holds `dir` and its siblings.
KX2UniqueFd openParent(const QString& dir)
{
    return KX2UniqueFd(::open(QFile::encodeName(QFileInfo(dir).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

KX2UniqueFd openDirAt(int parent, const QByteArray& name)
{
    return KX2UniqueFd(
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool existsAt(int parent, const QByteArray& name)
{
    struct stat info;
    return ::fstatat(parent, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes `name` in `parent`: a file or link by unlinking it, a directory
// with what it holds (a few levels; sets hold files and a download
// directory). Links inside are removed, never followed.
void removeAt(int parent, const QByteArray& name, int depth = 0)
{
    if (::unlinkat(parent, name.constData(), 0) == 0 || errno == ENOENT)
        return;
    const KX2UniqueFd dir = openDirAt(parent, name);
    if (!dir.isValid() || depth > 4)
        return;
    DIR* listing = ::fdopendir(::dup(dir.get()));
    if (!listing)
        return;
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray entryName(entry->d_name);
        if (entryName != "." && entryName != "..")
            names << entryName;
    }
    ::closedir(listing);
    for (const QByteArray& entryName : names)
        removeAt(dir.get(), entryName, depth + 1);
    ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
}

// The plain names of the regular files in `dir` (hidden names are the
// service's own marks and download directory). Links and other kinds are
// left out and traced: a set never holds them.
QList<QByteArray> regularFiles(int dir)
{
    QList<QByteArray> names;
    DIR* listing = ::fdopendir(::dup(dir));
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.'))
            continue;
        struct stat info;
        if (::fstatat(dir, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(info.st_mode))
            names << name;
        else
            znTrace(ZNTraceBits::Failures,
                    QStringLiteral("病毒库目录中的非普通文件已忽略: ") + QFile::decodeName(name));
    }
    ::closedir(listing);
    return names;
}

// Copies the open regular file `source` to `name` in `target` (created),
// keeping its modification time; synced.
bool copyOpenFile(int source, int target, const QByteArray& name)
{
    struct stat info;
    if (::fstat(source, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    KX2UniqueFd out(::openat(target, name.constData(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.isValid())
        return false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.get(), buffer + done, size_t(got - done));
            if (put < 0 && errno != EINTR)
                return false;
            done += put > 0 ? put : 0;
        }
    }
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ::futimens(out.get(), times);
    return ::fchmod(out.get(), 0644) == 0 && ::fsync(out.get()) == 0;
}

// Puts the regular file `name` of `from` into `to`: a hard link of the
// very file that was opened without following links, else a copy.
bool takeFile(int from, int to, const QByteArray& name)
{
    KX2UniqueFd source(::openat(from, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!source.isValid() || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    ::unlinkat(to, name.constData(), 0);
    if (::linkat(source.get(), "", to, name.constData(), AT_EMPTY_PATH) == 0)
        return true;
    return copyOpenFile(source.get(), to, name);
}

// A fresh, empty staging directory "<dir>.new"; invalid on failure.
KX2UniqueFd freshStage(int parent, const QString& dir)
{
    const QByteArray staged = nativeName(znStagedSetDir(dir));
    removeAt(parent, staged);
    if (::mkdirat(parent, staged.constData(), 0700) != 0)
        return KX2UniqueFd();
    return openDirAt(parent, staged);
}

// Takes every regular file of `dir` (when it exists) into `stage`.
bool takeAll(int parent, const QByteArray& dir, int stage, QString* reason)
{
    const KX2UniqueFd base = openDirAt(parent, dir);
    if (!base.isValid() && errno == ENOENT)
        return true; // nothing installed yet
    if (!base.isValid()) {
        *reason = QStringLiteral("cannot open ") + QFile::decodeName(dir);
        return false;
    }
    for (const QByteArray& name : regularFiles(base.get())) {
        if (!takeFile(base.get(), stage, name)) {
            *reason = QStringLiteral("cannot stage ") + QFile::decodeName(name);
            return false;
        }
    }
    return true;
}

// Puts `staged` in place of `name` as one step: an exchange of the two
// directories, or (on a file system without one) two renames through
// "<name>.old" that znRecoverVirusdbSets() completes after a kill. The set
// replaced ends at `staged`'s name.
bool swapIn(int parent, const QByteArray& staged, const QByteArray& name)
{
    if (::renameat2(parent, staged.constData(), parent, name.constData(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno == ENOENT && existsAt(parent, staged))
        return ::renameat(parent, staged.constData(), parent, name.constData()) == 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    const QByteArray old = name + ".old";
    removeAt(parent, old);
    if (::renameat(parent, name.constData(), parent, old.constData()) != 0)
        return false;
    if (::renameat(parent, staged.constData(), parent, name.constData()) != 0) {
        ::renameat(parent, old.constData(), parent, name.constData());
        return false;
    }
    return ::renameat(parent, old.constData(), parent, staged.constData()) == 0;
}

bool writeMark(int dir)
{
    KX2UniqueFd mark(
        ::openat(dir, kProvenMark, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    return mark.isValid() && ::fsync(mark.get()) == 0 && ::fsync(dir) == 0;
}

// Database files by their extension; the other files an updater keeps
// beside them (its own state, lists of mirrors) are no part of a set.
bool isDatabaseName(const QByteArray& name)
{
    static const QList<QByteArray> extensions = {
        "cvd", "cld", "cud", "hdb", "hsb", "hdu", "hsu",  "mdb", "msb",  "mdu",  "msu",
        "ndb", "ndu", "ldb", "ldu", "idb", "cdb", "cfg",  "crb", "cat",  "ign",  "ign2",
        "fp",  "sfp", "pdb", "gdb", "wdb", "ftm", "info", "yar", "yara", "pwdb", "cbc"};
    return extensions.contains(name.mid(name.lastIndexOf('.') + 1));
}

} // namespace

QString znStagedSetDir(const QString& dir)
{
    return dir + QStringLiteral(".new");
}

QString znGoodSetDir(const QString& dir)
{
    return dir + QStringLiteral(".good");
}

void znRecoverVirusdbSets(const QString& dir)
{
    const KX2UniqueFd parent = openParent(dir);
    if (!parent.isValid())
        return;
    const QByteArray names[] = {nativeName(dir), nativeName(znGoodSetDir(dir))};
    for (const QByteArray& name : names) {
        const QByteArray staged = name + ".new";
        const QByteArray old = name + ".old";
        if (!existsAt(parent.get(), name)) {
            const KX2UniqueFd stage = openDirAt(parent.get(), staged);
            const bool proven = stage.isValid() && existsAt(stage.get(), QByteArray(kProvenMark));
            if (proven
                && ::renameat(parent.get(), staged.constData(), parent.get(), name.constData())
                    == 0)
                znTrace(ZNTraceBits::Failures,
                        QStringLiteral("完成中断的病毒库安装: ") + QFile::decodeName(name));
            else
                ::renameat(parent.get(), old.constData(), parent.get(), name.constData());
        }
        removeAt(parent.get(), staged);
        removeAt(parent.get(), old);
    }
    ::fsync(parent.get());
}

bool znStageVirusdbSet(const QString& dir, const QString& base,
                       const QList<QPair<QString, QString>>& replacements, QString* reason)
{
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd stage = parent.isValid() ? freshStage(parent.get(), dir) : KX2UniqueFd();
    if (!stage.isValid()) {
        *reason = QStringLiteral("cannot create ") + znStagedSetDir(dir);
        return false;
    }
    if (!base.isEmpty()) {
        const KX2UniqueFd baseParent = openParent(base);
        if (!baseParent.isValid()
            || !takeAll(baseParent.get(), nativeName(base), stage.get(), reason))
            return false;
    }
    for (const auto& replacement : replacements) {
        const QByteArray name = QFile::encodeName(replacement.first);
        const QByteArray from = QFile::encodeName(replacement.second);
        ::unlinkat(stage.get(), name.constData(), 0);
        if (::renameat(AT_FDCWD, from.constData(), stage.get(), name.constData()) != 0) {
            *reason = QStringLiteral("cannot stage ") + replacement.first;
            return false;
        }
    }
    if (::fsync(stage.get()) != 0) {
        *reason = QStringLiteral("cannot sync ") + znStagedSetDir(dir);
        return false;
    }
    return true;
}

bool znStageVirusdbCopy(const QString& dir, const QString& source, bool overInstalled,
                        QString* reason)
{
    if (!znStageVirusdbSet(dir, overInstalled ? dir : QString(), {}, reason))
        return false;
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd stage = openDirAt(parent.get(), nativeName(znStagedSetDir(dir)));
    const KX2UniqueFd from(
        ::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!stage.isValid() || !from.isValid()) {
        *reason = QStringLiteral("cannot open ") + source;
        return false;
    }
    for (const QByteArray& name : regularFiles(from.get())) {
        if (!isDatabaseName(name))
            continue;
        KX2UniqueFd file(::openat(from.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        ::unlinkat(stage.get(), name.constData(), 0);
        if (!file.isValid() || !copyOpenFile(file.get(), stage.get(), name)) {
            *reason = QStringLiteral("cannot copy ") + QFile::decodeName(name);
            return false;
        }
    }
    return ::fsync(stage.get()) == 0;
}

bool znCopyIntoStagedSet(const QString& dir, int source, const QByteArray& name,
                         struct stat* copied)
{
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd stage =
        parent.isValid() ? openDirAt(parent.get(), nativeName(znStagedSetDir(dir))) : KX2UniqueFd();
    // Non-blocking: a FIFO put in a file's place must not hang the thread.
    const KX2UniqueFd file(
        ::openat(source, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!stage.isValid() || !file.isValid() || ::fstat(file.get(), copied) != 0
        || !S_ISREG(copied->st_mode))
        return false;
    ::unlinkat(stage.get(), name.constData(), 0);
    return copyOpenFile(file.get(), stage.get(), name);
}

bool znInstallVirusdbSet(const QString& dir, QString* reason, const QString& keepReplaced)
{
    const KX2UniqueFd parent = openParent(dir);
    const QByteArray staged = nativeName(znStagedSetDir(dir));
    const KX2UniqueFd stage = parent.isValid() ? openDirAt(parent.get(), staged) : KX2UniqueFd();
    if (!stage.isValid() || !writeMark(stage.get())) {
        *reason = QStringLiteral("cannot mark ") + znStagedSetDir(dir);
        return false;
    }
    if (!swapIn(parent.get(), staged, nativeName(dir))) {
        *reason = QStringLiteral("cannot install ") + dir + QStringLiteral(": ")
            + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    ::fsync(parent.get());
    if (!keepReplaced.isEmpty()) {
        const QByteArray kept = nativeName(keepReplaced);
        removeAt(parent.get(), kept);
        ::renameat(parent.get(), staged.constData(), parent.get(), kept.constData());
    }
    removeAt(parent.get(), staged);
    return true;
}

void znDiscardStagedSet(const QString& dir)
{
    const KX2UniqueFd parent = openParent(dir);
    if (parent.isValid())
        removeAt(parent.get(), nativeName(znStagedSetDir(dir)));
}

bool znKeepGoodVirusdbSet(const QString& dir)
{
    const QString good = znGoodSetDir(dir);
    QString reason;
    if (!znStageVirusdbSet(good, dir, {}, &reason))
        return false;
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd set = openDirAt(parent.get(), nativeName(dir));
    const KX2UniqueFd stage = openDirAt(parent.get(), nativeName(znStagedSetDir(good)));
    // The mark travels along: it tells when the set was installed. Without
    // it the kept set only lacks that time, so a failed link is traced and
    // the set kept all the same.
    if (set.isValid() && stage.isValid() && existsAt(set.get(), QByteArray(kProvenMark))
        && ::linkat(set.get(), kProvenMark, stage.get(), kProvenMark, 0) != 0)
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("病毒库安装时间未能保留: ") + QString::fromLocal8Bit(strerror(errno)));
    if (!swapIn(parent.get(), nativeName(znStagedSetDir(good)), nativeName(good)))
        return false;
    removeAt(parent.get(), nativeName(znStagedSetDir(good)));
    return true;
}

bool znHasNewerVirusdbFiles(const QString& source, const QString& dir)
{
    const KX2UniqueFd from(
        ::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd to =
        parent.isValid() ? openDirAt(parent.get(), nativeName(dir)) : KX2UniqueFd();
    if (!from.isValid())
        return false;
    for (const QByteArray& name : regularFiles(from.get())) {
        if (!isDatabaseName(name))
            continue;
        struct stat theirs, ours;
        if (::fstatat(from.get(), name.constData(), &theirs, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // A directory not made yet lacks every file.
        if (!to.isValid() || ::fstatat(to.get(), name.constData(), &ours, AT_SYMLINK_NOFOLLOW) != 0)
            return true;
        const bool later = theirs.st_mtim.tv_sec > ours.st_mtim.tv_sec
            || (theirs.st_mtim.tv_sec == ours.st_mtim.tv_sec
                && theirs.st_mtim.tv_nsec > ours.st_mtim.tv_nsec);
        if (!later)
            continue;
        if (theirs.st_size != ours.st_size)
            return true;
        const QString a = QFile::decodeName(QFile::encodeName(source) + '/' + name);
        const QString b = QFile::decodeName(QFile::encodeName(dir) + '/' + name);
        if (KX2File::fileMd5(a) != KX2File::fileMd5(b))
            return true;
    }
    return false;
}

QByteArray znVirusdbStamp(const QString& dir)
{
    const KX2UniqueFd set(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QByteArray stamp;
    if (!set.isValid())
        return stamp;
    QList<QByteArray> names = regularFiles(set.get());
    std::sort(names.begin(), names.end());
    for (const QByteArray& name : names) {
        struct stat info;
        if (!isDatabaseName(name)
            || ::fstatat(set.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        stamp += name + ' ' + QByteArray::number(qint64(info.st_size)) + ' '
            + QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qint64(info.st_mtim.tv_nsec)) + '\n';
    }
    return stamp;
}

bool znIsVirusdbSetMark(const QByteArray& name)
{
    return name == kProvenMark;
}

QDateTime znVirusdbSetTime(const QString& dir)
{
    const KX2UniqueFd parent = openParent(dir);
    const KX2UniqueFd set =
        parent.isValid() ? openDirAt(parent.get(), nativeName(dir)) : KX2UniqueFd();
    if (!set.isValid())
        return QDateTime();
    struct stat info;
    if (::fstatat(set.get(), kProvenMark, &info, AT_SYMLINK_NOFOLLOW) == 0)
        return QDateTime::fromSecsSinceEpoch(info.st_mtim.tv_sec);
    qint64 latest = 0;
    for (const QByteArray& name : regularFiles(set.get())) {
        if (::fstatat(set.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            latest = qMax<qint64>(latest, info.st_mtim.tv_sec);
    }
    return latest > 0 ? QDateTime::fromSecsSinceEpoch(latest) : QDateTime();
}
