#include "znremembercheck.h"

#include <fcntl.h>
#include <signal.h>

namespace {

// Whether SIGIO would end the process: its default action does.
bool leaseBreakEndsProcess()
{
    struct sigaction current
    {};
    if (::sigaction(SIGIO, nullptr, &current) != 0)
        return true;
    return !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
}

} // namespace

void ZNRememberCheck::ignoreLeaseBreaks()
{
    struct sigaction ignore
    {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGIO, &ignore, nullptr);
}

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
    if (leaseBreakEndsProcess())
        return false;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return false;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return true;
}
