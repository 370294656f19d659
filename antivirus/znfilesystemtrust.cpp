#include "znfilesystemtrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <linux/btrfs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cstring>

namespace {

// The superblock's UUID; in the kernel's headers from 6.5 on.
struct FsUuid
{
    quint8 len;
    quint8 uuid[16];
};
const unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid);

const unsigned long kExt = 0xEF53UL; // ext2, ext3, ext4
const unsigned long kXfs = 0x58465342UL;
const unsigned long kF2fs = 0xF2F52010UL;
const unsigned long kJfs = 0x3153464AUL;
const unsigned long kReiserfs = 0x52654973UL;
const unsigned long kBtrfs = 0x9123683EUL;
const unsigned long kTmpfs = 0x01021994UL;

const unsigned long kLoopMajor = 7;
// dm over md over partitions is three levels; more means a loop in /sys.
const int kDeepestStack = 8;

quint64 mix(quint64 x)
{
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

QByteArray readSys(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64).trimmed() : QByteArray();
}

// A disk (or partition) by its directory in /sys/devices.
bool sysDeviceTrusted(QString path, int depth)
{
    if (path.isEmpty() || depth > kDeepestStack)
        return false;
    // A partition is judged by its disk.
    if (QFileInfo::exists(path + "/partition"))
        path = QFileInfo(path).path();
    if (path.contains(QLatin1String("/devices/virtual/"))) {
        // Device mapper and md are as sound as all their members; any
        // other virtual device (loop, nbd, zram, ...) is refused.
        if (!QFileInfo::exists(path + "/dm") && !QFileInfo::exists(path + "/md"))
            return false;
        const QFileInfoList members =
            QDir(path + "/slaves").entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
        if (members.isEmpty())
            return false;
        for (const QFileInfo& member : members) {
            if (!sysDeviceTrusted(member.canonicalFilePath(), depth + 1))
                return false;
        }
        return true;
    }
    if (readSys(path + "/removable") != "0")
        return false;
    // Disks that are unplugged, written elsewhere and plugged back, or
    // that another machine writes: USB, memory cards, iSCSI.
    for (const QString& part : path.split('/')) {
        if (part.startsWith(QLatin1String("usb")) || part.startsWith(QLatin1String("mmc"))
            || part.startsWith(QLatin1String("session")))
            return false;
    }
    return true;
}

// Every device of the btrfs holding `fd` (listed in /sys/fs/btrfs/<fsid>).
bool btrfsDevicesTrusted(int fd)
{
    btrfs_ioctl_fs_info_args info;
    std::memset(&info, 0, sizeof info);
    if (::ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0)
        return false;
    const QByteArray hex = QByteArray(reinterpret_cast<const char*>(info.fsid), 16).toHex();
    const QString uuid = QString::fromLatin1(hex.mid(0, 8) + '-' + hex.mid(8, 4) + '-'
                                             + hex.mid(12, 4) + '-' + hex.mid(16, 4) + '-'
                                             + hex.mid(20));
    const QFileInfoList devices = QDir(QStringLiteral("/sys/fs/btrfs/%1/devices").arg(uuid))
                                      .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (devices.isEmpty())
        return false;
    for (const QFileInfo& device : devices) {
        if (!sysDeviceTrusted(device.canonicalFilePath(), 0))
            return false;
    }
    return true;
}

quint64 identityOf(int fd, const struct statfs& info)
{
    quint32 fsid[2];
    static_assert(sizeof fsid == sizeof info.f_fsid, "f_fsid is two ints");
    std::memcpy(fsid, &info.f_fsid, sizeof fsid);
    quint64 identity = mix(quint64(info.f_type) ^ (quint64(fsid[0]) << 32 | fsid[1]));
    FsUuid uuid;
    std::memset(&uuid, 0, sizeof uuid);
    uuid.len = sizeof uuid.uuid;
    if (::ioctl(fd, kGetFsUuid, &uuid) == 0 && uuid.len <= sizeof uuid.uuid) {
        quint64 halves[2] = {0, 0};
        std::memcpy(halves, uuid.uuid, uuid.len);
        identity = mix(mix(identity ^ halves[0]) ^ halves[1]);
    }
    // 0 stands for "no identity".
    return identity != 0 ? identity : 1;
}

} // namespace

bool ZNFileSystemTrust::blockDeviceTrusted(quint64 device)
{
    const unsigned int maj = major(dev_t(device));
    if (maj == 0 || maj == kLoopMajor)
        return false;
    const QString link = QStringLiteral("/sys/dev/block/%1:%2").arg(maj).arg(minor(dev_t(device)));
    return sysDeviceTrusted(QFileInfo(link).canonicalFilePath(), 0);
}

ZNFileSystemTrust::Verdict ZNFileSystemTrust::decide(int fd, quint64 device)
{
    struct statfs info;
    if (::fstatfs(fd, &info) != 0)
        return Verdict();
    bool trusted = false;
    switch (static_cast<unsigned long>(info.f_type) & 0xffffffffUL) {
    case kExt:
    case kXfs:
    case kF2fs:
    case kJfs:
    case kReiserfs:
        trusted = blockDeviceTrusted(device);
        break;
    case kBtrfs:
        trusted = btrfsDevicesTrusted(fd);
        break;
    case kTmpfs:
        trusted = true;
        break;
    default:
        break;
    }
    return trusted ? Verdict{true, identityOf(fd, info)} : Verdict();
}

const ZNFileSystemTrust::Verdict& ZNFileSystemTrust::of(int fd, quint64 device)
{
    if (last < known.size() && known[last].device == device)
        return known[last].verdict;
    for (size_t i = 0; i < known.size(); ++i) {
        if (known[i].device == device) {
            last = i;
            return known[i].verdict;
        }
    }
    // A tree over this many devices is rare; starting over costs little.
    if (known.size() >= 256)
        known.clear();
    known.push_back(Known{device, decide(fd, device)});
    last = known.size() - 1;
    return known[last].verdict;
}
