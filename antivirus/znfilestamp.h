// ZNFileStamp: what the kernel tells about an open file that moves with
// any change of its content: device, inode, size, and the modification and
// change times to the nanosecond; and the identity of the file system that
// holds it (ZNFileSystemTrust), since a device number may carry another
// file system, with the same inodes and times, after the next mount.
//
// The change time (ctime) is the one that matters: no system call lets a
// user set it, and every write, truncation or metadata change sets it to
// the current time, so a file rewritten with its old size and its old
// modification time restored still shows a new ctime. A file whose stamp
// equals the one taken when it was scanned has the content it had then,
// within the limits ZNRememberCheck guards against (znremembercheck.h).
//
// Value type; any thread.

#ifndef ZNFILESTAMP_H
#define ZNFILESTAMP_H

#include <QtGlobal>

#include <sys/stat.h>

struct ZNFileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedSec = 0;
    qint64 modifiedNsec = 0;
    qint64 changedSec = 0;
    qint64 changedNsec = 0;
    quint64 fileSystem = 0; // 0: not known (of() leaves it so)

    static ZNFileStamp of(const struct stat& info)
    {
        ZNFileStamp stamp;
        stamp.device = quint64(info.st_dev);
        stamp.inode = quint64(info.st_ino);
        stamp.size = qint64(info.st_size);
        stamp.modifiedSec = qint64(info.st_mtim.tv_sec);
        stamp.modifiedNsec = qint64(info.st_mtim.tv_nsec);
        stamp.changedSec = qint64(info.st_ctim.tv_sec);
        stamp.changedNsec = qint64(info.st_ctim.tv_nsec);
        return stamp;
    }

    bool operator==(const ZNFileStamp& other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modifiedSec == other.modifiedSec && modifiedNsec == other.modifiedNsec
            && changedSec == other.changedSec && changedNsec == other.changedNsec
            && fileSystem == other.fileSystem;
    }
    bool operator!=(const ZNFileStamp& other) const { return !(*this == other); }
};

#endif // ZNFILESTAMP_H
