// The work area: the directory named by "datadir" that holds the
// quarantine ".qra", the virus database "virusdb" with its siblings and the
// clean-file cache ".cache".
//
// The service runs as root, moves users' files into the quarantine, reads
// them back out on restore and loads its signatures from the database. A
// user who could change anything in the work area, or swap a directory on
// the way to it, could therefore read another user's quarantined file,
// blind the engine with a set of their own, or lead a move or a removal
// anywhere. So the work area is used only when nobody but root can change
// it: every directory from "/" down to it belongs to root (or the service's
// own user) and is writable by nobody else, unless it is a sticky directory
// of root's such as /tmp; and the service's own directories inside it are
// directories of root's that nobody else can write: the quarantine a real
// one, the others real ones or links of root's to directories that pass
// the same rules (an administrator may keep the signatures elsewhere). Everything the
// service makes there is made mode 0700 through directory descriptors,
// whatever the umask.
//
// Reentrant; any thread. Failure is an invalid descriptor, or a non-empty
// reason meant for the administrator.

#ifndef ZNWORKAREA_H
#define ZNWORKAREA_H

#include <QByteArray>
#include <QString>

#include "kx2uniquefd.h"

// Why `path` (absolute) cannot serve as the work area, or an empty string
// when it can. A work area that does not exist yet is judged by the nearest
// directory above it that does, since the service makes the rest.
QString znWorkAreaFault(const QString& path);

// Opens the work area `path`, making the missing directories of it (0700)
// below the nearest one that exists. Invalid when the work area fails the
// rules above.
KX2UniqueFd znOpenWorkArea(const QString& path);

// Opens the directory `name` of the open work area `area`, made 0700 when
// missing. Invalid when it is a link, not a directory, or not a directory
// of root's (or the service's user) that only its owner can write.
KX2UniqueFd znOpenWorkDir(int area, const QByteArray& name);

// The quarantine directory `quarantine` ("<work area>/.qra") opened by the
// two functions above; invalid when either refuses.
KX2UniqueFd znOpenQuarantineDir(const QByteArray& quarantine);

#endif // ZNWORKAREA_H
