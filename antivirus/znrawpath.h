// Raw file-system paths: the bytes the kernel uses, kept as they are from
// the directory walk to the open and the move, whatever encoding the names
// are in, plus the safe directory opening that moves of user files need.
//
// Users own the files of the scanned shares and may give them any name,
// including bytes that are not UTF-8; such a name must still be scanned
// and quarantined, so paths travel as QByteArray and are turned into text
// only for people (listings, traces). The readable form escapes every byte
// that is not part of valid UTF-8 as "\xHH".
//
// All functions are reentrant and callable from any thread.

#ifndef ZNRAWPATH_H
#define ZNRAWPATH_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include "kx2uniquefd.h"

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool znIsUtf8(const QByteArray& bytes);

// The readable form of a raw path: the text itself when it is UTF-8,
// otherwise valid sequences decoded and every other byte as "\xHH".
QString znDisplayPath(const QByteArray& raw);

// The raw bytes of a path given as text (by a request or the store).
QByteArray znRawPath(const QString& path);

// Last component and the part before it ("/a/b" -> "b" and "/a"; "b" ->
// "b" and "").
QByteArray znBaseName(const QByteArray& path);
QByteArray znDirName(const QByteArray& path);

// Opens the directory `root` (a symbolic link as its last component is
// refused; links above it, chosen by the administrator, are followed) and
// then each component of `relative` below it without following any
// symbolic link. An invalid descriptor when any step fails, so a directory
// that a user replaced by a link never leads outside the tree.
KX2UniqueFd znOpenDirBeneath(const QByteArray& root, const QByteArray& relative);

// lstat() of a raw path; false when nothing is there.
bool znLstat(const QByteArray& path, struct stat& info);

// "dev:ino", the identity of a file that survives renames within one file
// system.
QString znFileIdentity(const struct stat& info);

// rename() relative to directory descriptors that never replaces an
// existing target (errno EEXIST then).
bool znRenameNoReplace(int fromDir, const QByteArray& from, int toDir, const QByteArray& to);

// The same move for file systems without RENAME_NOREPLACE (what
// znRenameNoReplace falls back to): `to` is made a second name of the file
// with linkat(), which never replaces an existing target (errno EEXIST),
// then `from` is removed if it still names that file; otherwise the new
// name is removed again and errno is EBUSY. Not for directories (linkat()
// refuses them, EPERM, as do file systems without hard links). A kill in
// between leaves the file under both names: nothing is lost.
bool znMoveByLink(int fromDir, const QByteArray& from, int toDir, const QByteArray& to);

// Copies everything readable from `from` to `to`; false on a read or
// write error.
bool znCopyContent(int from, int to);

// Writes a copy of the open regular file `source` (`info` its fstat) as an
// unnamed file (O_TMPFILE) in `toDir` with the source's owner, group and
// mode, made durable, and links it in as `to` without replacing anything.
// No name exists until the copy is complete, so a crash leaves nothing
// behind and no other file's name is ever used. False when any step fails
// (also on file systems without unnamed files); nothing is then at `to`.
bool znCopyInto(int source, const struct stat& info, int toDir, const QByteArray& to);

// Moves `name` in `fromDir` to `to` in `toDir` across file systems: the
// copy is linked in as `to` (znCopyInto), and only then is the source
// unlinked, if it is still the file `identity` ("dev:ino") names. False
// leaves the source as it was and nothing at the target.
bool znMoveAcross(int fromDir, const QByteArray& name, const QString& identity, int toDir,
                  const QByteArray& to);

#endif // ZNRAWPATH_H
