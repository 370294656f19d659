// ScanTempDir: a memory-backed directory of the service's own for the
// temporary files libclamav writes while it scans (archive members,
// decoded parts), bounded in size and seen by no other process.
//
// enterPrivateMounts() runs first in main(), while the process has one
// thread (a mount namespace taken later would hold the calling thread
// only): as root, the process gets a mount namespace of its own whose
// mounts follow the host's (shares mounted or unmounted later still
// reach it) while its own mounts reach nobody else and end with it.
// mount() then puts a tmpfs of at most a quarter of the memory at
// kMountPoint inside that namespace. The unit, whose sandbox allows no
// namespace, provides the same tmpfs there itself (TemporaryFileSystem=),
// and mount() takes that one. Without either, nothing is mounted and
// libclamav uses the system's temporary directory; "tmpdir" in
// config.json overrides all of them.
//
// Failure: both return false and change nothing; the reason is traced.

#ifndef SCANTEMPDIR_H
#define SCANTEMPDIR_H

#include <QString>

namespace ScanTempDir {

extern const char kMountPoint[];

bool enterPrivateMounts();
// The mounted directory, or empty when none could be mounted.
QString mount();

} // namespace ScanTempDir

#endif // SCANTEMPDIR_H
