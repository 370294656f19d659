#include "znrawpath.h"

#include "kx2escape.h"

#include <QList>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdio.h>
#include <vector>

namespace {

bool copyAll(int from, int to)
{
    static const size_t kChunk = 1 << 20;
    // A plain heap buffer: GCC cannot see through QByteArray's shared empty
    // header and warns (-Wstringop-overflow) that read() overflows it.
    std::vector<char> buffer(kChunk);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), kChunk);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t n = ::write(to, buffer.data() + written, size_t(got - written));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            written += n;
        }
    }
}

} // namespace

bool znIsUtf8(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (int at = 0; at < bytes.size();) {
        const int length = kx2Utf8SequenceLength(s, at, bytes.size());
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

QString znDisplayPath(const QByteArray& raw)
{
    if (znIsUtf8(raw))
        return QString::fromUtf8(raw);
    const auto* s = reinterpret_cast<const unsigned char*>(raw.constData());
    QByteArray readable;
    readable.reserve(raw.size() + 16);
    for (int at = 0; at < raw.size();) {
        const int length = kx2Utf8SequenceLength(s, at, raw.size());
        if (length > 0) {
            readable.append(raw.constData() + at, length);
            at += length;
        } else {
            static const char hex[] = "0123456789ABCDEF";
            readable.append("\\x");
            readable.append(hex[s[at] >> 4]);
            readable.append(hex[s[at] & 0xF]);
            ++at;
        }
    }
    return QString::fromUtf8(readable);
}

QByteArray znRawPath(const QString& path)
{
    return path.toUtf8();
}

QByteArray znBaseName(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QByteArray znDirName(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArray();
    return slash == 0 ? QByteArray("/") : path.left(slash);
}

KX2UniqueFd znOpenDirBeneath(const QByteArray& root, const QByteArray& relative)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    KX2UniqueFd dir(::open(root.constData(), flags));
    if (!dir.isValid())
        return KX2UniqueFd();
    for (const QByteArray& component : relative.split('/')) {
        if (component.isEmpty() || component == ".")
            continue;
        if (component == "..")
            return KX2UniqueFd();
        KX2UniqueFd child(::openat(dir.get(), component.constData(), flags));
        if (!child.isValid())
            return KX2UniqueFd();
        dir = std::move(child);
    }
    return dir;
}

bool znLstat(const QByteArray& path, struct stat& info)
{
    return ::lstat(path.constData(), &info) == 0;
}

QString znFileIdentity(const struct stat& info)
{
    return QString::number(quint64(info.st_dev)) + QLatin1Char(':')
        + QString::number(quint64(info.st_ino));
}

bool znRenameNoReplace(int fromDir, const QByteArray& from, int toDir, const QByteArray& to)
{
    if (::renameat2(fromDir, from.constData(), toDir, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A check and a rename would leave a gap in which a user's new file at
    // `to` is overwritten: restore moves into the user's own directory.
    return znMoveByLink(fromDir, from, toDir, to);
}

// linkat() refuses an existing name; the first name goes only while it
// still names the linked file, and the new name goes again otherwise.
bool znMoveByLink(int fromDir, const QByteArray& from, int toDir, const QByteArray& to)
{
    if (::linkat(fromDir, from.constData(), toDir, to.constData(), 0) != 0)
        return false;
    const auto sameFile = [](const struct stat& a, const struct stat& b) {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    };
    struct stat linked {}, source {}, now {};
    const bool seen = ::fstatat(toDir, to.constData(), &linked, AT_SYMLINK_NOFOLLOW) == 0;
    int error = EBUSY;
    if (seen && ::fstatat(fromDir, from.constData(), &source, AT_SYMLINK_NOFOLLOW) == 0
        && sameFile(linked, source)) {
        if (::unlinkat(fromDir, from.constData(), 0) == 0)
            return true;
        error = errno;
    }
    if (seen && ::fstatat(toDir, to.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && sameFile(now, linked))
        ::unlinkat(toDir, to.constData(), 0);
    errno = error;
    return false;
}

bool znCopyInto(int source, const struct stat& info, int toDir, const QByteArray& to)
{
    KX2UniqueFd copy(::openat(toDir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    // The owner first: a change of owner clears the set-id bits, which
    // the mode then sets again.
    if (!copy.isValid() || !znCopyContent(source, copy.get())
        || ::fchown(copy.get(), info.st_uid, info.st_gid) != 0
        || ::fchmod(copy.get(), info.st_mode & 07777) != 0 || ::fsync(copy.get()) != 0)
        return false;
    // linkat() refuses an existing name, so nothing is ever replaced.
    const QByteArray handle = "/proc/self/fd/" + QByteArray::number(copy.get());
    if (::linkat(AT_FDCWD, handle.constData(), toDir, to.constData(), AT_SYMLINK_FOLLOW) != 0)
        return false;
    ::fsync(toDir);
    return true;
}

// The source goes only once its copy is in place under its name, and only
// while it is still the file that was scanned.
bool znMoveAcross(int fromDir, const QByteArray& name, const QString& identity, int toDir,
                  const QByteArray& to)
{
    KX2UniqueFd source(
        ::openat(fromDir, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (!source.isValid() || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)
        || znFileIdentity(info) != identity || !znCopyInto(source.get(), info, toDir, to))
        return false;
    struct stat now;
    if (::fstatat(fromDir, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0
        || znFileIdentity(now) != identity || ::unlinkat(fromDir, name.constData(), 0) != 0) {
        ::unlinkat(toDir, to.constData(), 0);
        return false;
    }
    return true;
}

bool znCopyContent(int from, int to)
{
    return copyAll(from, to);
}
