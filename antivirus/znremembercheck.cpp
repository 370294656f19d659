#include "znremembercheck.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/vfs.h>

#include <mutex>

namespace {

// File systems whose times the local kernel sets (statfs f_type). Network
// file systems (NFS, SMB, FUSE, 9p, ...) are left out: their servers
// supply the times.
bool isLocalTimesType(long type)
{
    switch (static_cast<unsigned long>(type) & 0xffffffffUL) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // xfs
    case 0x9123683EUL: // btrfs
    case 0x01021994UL: // tmpfs
    case 0xF2F52010UL: // f2fs
    case 0x2FC12FC1UL: // zfs
    case 0x3153464AUL: // jfs
    case 0x52654973UL: // reiserfs
    case 0xCA451A4EUL: // bcachefs
        return true;
    default:
        return false;
    }
}

// A lease break is signalled with SIGIO, whose default action ends the
// process; the lease is given back at once, so the signal carries nothing
// the service needs.
void ignoreLeaseBreaks()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction ignore
        {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGIO, &ignore, nullptr);
    });
}

} // namespace

bool ZNRememberCheck::settled(const ZNFileStamp& stamp, const timespec& now)
{
    const qint64 limit = qint64(now.tv_sec) - kZNSettledSeconds;
    const auto before = [&](qint64 sec, qint64 nsec) {
        return sec < limit || (sec == limit && nsec <= qint64(now.tv_nsec));
    };
    return before(stamp.changedSec, stamp.changedNsec)
        && before(stamp.modifiedSec, stamp.modifiedNsec);
}

bool ZNRememberCheck::kernelKeepsTimes(int fd, quint64 device)
{
    if (known && device == lastDevice)
        return lastVerdict;
    struct statfs info;
    if (::fstatfs(fd, &info) != 0)
        return false;
    known = true;
    lastDevice = device;
    lastVerdict = isLocalTimesType(long(info.f_type));
    return lastVerdict;
}

bool ZNRememberCheck::openForWritingNowhere(int fd)
{
    ignoreLeaseBreaks();
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return false;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return true;
}
