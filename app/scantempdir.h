// ScanTempDir: the memory-backed directory the unit provides for the
// temporary files libclamav writes while it scans (archive members,
// decoded parts), bounded in size and seen by no other process.
//
// The unit mounts a tmpfs of at most a quarter of the memory at
// /run/znantivirus-scantmp in the service's own namespace
// (TemporaryFileSystem=); providedDir() names it when it is there: a mount
// of its own, root's, closed to others (a plain directory on /run would be
// a tmpfs too, but one others share). Otherwise libclamav uses the system's temporary directory;
// "tmpdir" in config.json overrides either.
//
// Any thread; no state.

#ifndef SCANTEMPDIR_H
#define SCANTEMPDIR_H

#include <QString>

namespace ScanTempDir {

// The directory the unit mounted, or empty when there is none.
QString providedDir();

} // namespace ScanTempDir

#endif // SCANTEMPDIR_H
