#include "znremembercheck.h"

#include <fcntl.h>
#include <signal.h>

#include <mutex>

namespace {

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

bool ZNRememberCheck::openForWritingNowhere(int fd)
{
    ignoreLeaseBreaks();
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return false;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return true;
}
