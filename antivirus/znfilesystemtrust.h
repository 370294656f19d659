// ZNFileSystemTrust: whether the file system holding an open file keeps its
// content and change times under the local kernel's sole control, so that
// a file's stamp (znfilestamp.h) found unchanged proves its content
// unchanged; and the identity of that file system, which is part of a
// remembered file's key.
//
// A device number names a slot, not a file system: a loop device, a
// removable disk or an anonymous device of tmpfs carries another file
// system after the next mount, and a byte copy of an image has the same
// inodes and times. The identity mixes the statfs f_fsid (from the UUID on
// ext4 and btrfs, random per mount on tmpfs) with the UUID the kernel
// reports for the superblock (FS_IOC_GETFSUUID, where the kernel has it;
// xfs and f2fs derive f_fsid from the device number alone).
//
// Trusted, by statfs type and backing device:
// - ext2/3/4, xfs, f2fs, jfs, reiserfs on a block device that is a fixed
//   local disk or a partition of one, or a device-mapper or md device all
//   of whose members are; never a loop device (its image is a file that
//   others may write, copy or replace), nor any other virtual block device
//   (nbd, zram, ...), nor a disk the kernel calls removable or that sits on
//   a USB, MMC or iSCSI connection (edited elsewhere and plugged back);
// - btrfs when every device of the file system passes the same test (its
//   st_dev is a per-subvolume anonymous number);
// - tmpfs: memory only the kernel writes.
// Everything else is refused: network file systems (their servers supply
// content and times), FUSE (a user-space process does), overlay, zfs and
// bcachefs (members not checked here), and any type not listed.
//
// The verdict is kept per device number for the object's life (one scan
// worker's task), so a file costs a comparison; the first file of a device
// costs an fstatfs and a few reads of /sys.
//
// Not thread-safe: each scan worker owns one.

#ifndef ZNFILESYSTEMTRUST_H
#define ZNFILESYSTEMTRUST_H

#include <QtGlobal>

#include <vector>

class ZNFileSystemTrust
{
public:
    struct Verdict
    {
        bool trusted = false;
        quint64 identity = 0; // of the file system; 0 when not trusted
    };

    // For the open file `fd`, whose st_dev is `device`. Untrusted when
    // fstatfs fails.
    const Verdict& of(int fd, quint64 device);

    // The test of a block device (by its number) on its own, as used for
    // the file systems that sit on one.
    static bool blockDeviceTrusted(quint64 device);

private:
    struct Known
    {
        quint64 device;
        Verdict verdict;
    };
    static Verdict decide(int fd, quint64 device);

    std::vector<Known> known;
    size_t last = 0; // index of the last verdict given
};

#endif // ZNFILESYSTEMTRUST_H
