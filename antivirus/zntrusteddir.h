// Opening the directories of quarantine records without being led astray.
//
// A record names a former path in a user's share and a file in the
// quarantine; users may have replaced any directory on the way by a
// symbolic link since. These helpers open a directory so that a link is
// followed only when the administrator owns it, and never as the last
// component, and then act on the name inside it through the descriptor.
//
// Reentrant; any thread.

#ifndef ZNTRUSTEDDIR_H
#define ZNTRUSTEDDIR_H

#include <QByteArray>
#include <QJsonObject>

#include <sys/stat.h>

#include "znrawpath.h"

// Opens the directory `path` (absolute). A symbolic link on the way is
// followed only when root (or the service's own user) owns it: such links
// are the administrator's, while a user who owns a directory on the way
// could otherwise point the service anywhere. The last component is never
// a link. Each link is checked and read through one descriptor of the link
// itself, and its target walked again by the same rules, so nothing can be
// swapped between the check and the use. Invalid when any step fails.
KX2UniqueFd znOpenTrustedDir(const QByteArray& path, int links = 0);

// As znOpenTrustedDir(), and moreover no other user can change what the
// path leads to: every directory on the way, the last included, belongs
// to root or the service's user and is writable by nobody else, unless it
// is sticky (like /tmp: others cannot rename or delete entries they do not
// own, and the next directory on the way is root's). Invalid otherwise.
// For files the service trusts, such as its own caches.
KX2UniqueFd znOpenGuardedDir(const QByteArray& path);

// An absolute path as its directory, opened by znOpenTrustedDir(), and the
// name in it. `dir` is invalid when the path is unusable, the directory is
// missing or is a link, or a link on the way is not the administrator's.
struct ZNTrustedEntry
{
    KX2UniqueFd dir;
    QByteArray name;

    explicit ZNTrustedEntry(const QByteArray& path);
    bool stat(struct stat& info) const;
};

// The former path of a quarantine record as the kernel knows it: names
// that are not UTF-8 are kept in hexadecimal beside the readable form.
QByteArray znFormerRawPath(const QJsonObject& record);

// Whether anything (a link included) is at `path`.
bool znPathExists(const QString& path);

#endif // ZNTRUSTEDDIR_H
