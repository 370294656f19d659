// ZNRememberCheck: the conditions, beyond "scanned clean with its stamp
// unchanged", under which a file may be remembered as clean, so that a
// later scan that finds the same stamp can skip it. Which file systems
// qualify at all is ZNFileSystemTrust's (znfilesystemtrust.h).
//
// Stateless; any thread.

#ifndef ZNREMEMBERCHECK_H
#define ZNREMEMBERCHECK_H

#include <QtGlobal>

#include <time.h>

#include "znfilestamp.h"

// Seconds that a file's last change (and modification) must lie before its
// scan for the file to be remembered. The kernel stamps times from a clock
// that advances in ticks (milliseconds; whole seconds on some file
// systems), so a write in the same tick as an earlier one leaves the times
// as they were: a file changed while it was being scanned could show the
// stamp taken before its scan. Three seconds cover the coarsest granularity
// in use (one second) with room to spare; a file changed that recently is
// scanned again next time instead.
constexpr int kZNSettledSeconds = 3;

class ZNRememberCheck
{
public:
    // Both times of `stamp` lie at least kZNSettledSeconds before `now`
    // (CLOCK_REALTIME, read before the scan began); times in the future
    // fail too.
    static bool settled(const ZNFileStamp& stamp, const timespec& now);

    // Makes the process ignore SIGIO, with which the kernel signals a lease
    // break (its default action ends the process). A signal disposition
    // belongs to the whole process: call this once at start-up on the main
    // thread, before any thread scans (the service's entry does; so does a
    // test that scans in its own process). Nothing else uses SIGIO.
    static void ignoreLeaseBreaks();

    // Whether nobody has the open regular file `fd` open for writing at this
    // moment, a shared writable mapping included: the kernel grants a read
    // lease only then (root may take one on any file). The lease is given
    // back at once. Two writers change the content without moving the times
    // again: a mapping made before the scan, until its pages are written
    // back (one made afterwards moves them with its first write), and a
    // write() call under way, which stamped them once as it started.
    // False when leases cannot be taken (a file system without them, or
    // leases disabled) and when SIGIO still has its default action (no
    // ignoreLeaseBreaks() at start-up: a lease break would end the process):
    // such files are never remembered.
    static bool openForWritingNowhere(int fd);
};

#endif // ZNREMEMBERCHECK_H
