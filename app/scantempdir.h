// ScanTempDir: the memory-backed directory for the temporary files
// libclamav writes while it scans (archive members, decoded parts),
// bounded in size and written by no other process.
//
// Installed, the unit mounts a tmpfs at /run/znantivirus-scantmp in the
// service's own namespace (TemporaryFileSystem=) and that is taken: a
// mount of its own, root's, closed to others (a plain directory on /run
// would be a tmpfs too, but one others share). Started by hand as root,
// the service mounts a tmpfs of its own at /run/znantivirus-scantmp.<pid>
// (a quarter of the memory at most, mode 0700) and unmounts it when the
// object goes; mounts left by a process that is gone (kill -9) are
// unmounted at the next start. Otherwise path() is empty and libclamav
// uses the system's temporary directory. "tmpdir" in config.json
// overrides all of this (the caller does not construct the object then).
//
// Owned by the application object, created on the main thread before the
// antivirus component and destroyed after it, when no scan runs.

#ifndef SCANTEMPDIR_H
#define SCANTEMPDIR_H

#include <QByteArray>
#include <QFile>
#include <QString>

class ScanTempDir
{
public:
    ScanTempDir();
    ~ScanTempDir();
    ScanTempDir(const ScanTempDir&) = delete;
    ScanTempDir& operator=(const ScanTempDir&) = delete;

    // The directory, or empty when there is none.
    QString path() const { return QFile::decodeName(directory); }

private:
    QByteArray directory;
    bool mountedHere = false;
};

#endif // SCANTEMPDIR_H
