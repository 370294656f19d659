// Relocation of the virus database when the work area changes.
//
// The set of the old directory is copied into the new work area as a
// staged set ("<to>.new", see znvirusdbset.h); the update thread proves it
// by loading it and swaps it in like any update, and only then are the
// copied files removed from the old directory. So at any moment, a kill
// included, the old directory keeps its set until the new one holds a set
// that loaded.
//
// The old directory may lie in a work area a user could write: it is
// opened without following a link of a user's, and only regular files are
// copied (never linked: the copy cannot change with the user's file). The
// new work area must pass znOpenWorkArea(); everything in it is reached
// through directory descriptors.
//
// Runs on the update thread only.

#ifndef ZNRELOCATION_H
#define ZNRELOCATION_H

#include <QList>
#include <QString>

#include <sys/stat.h>

#include "kx2uniquefd.h"

enum class ZNRelocation {
    Same,         // `from` and `to` are one directory: nothing to move
    Missing,      // `from` is not a directory
    TargetFailed, // the new work area is refused, or `to` lies inside it
                  // in a way that a swap would remove the old set
    Staged,       // a copy of the old set waits at "<to>.new"
    Failed,       // nothing usable to copy, or a file could not be copied;
                  // later relocations must not run on top of it
};

// What a staged relocation copied, to be removed once the copy is in place.
struct ZNRelocatedFiles
{
    KX2UniqueFd from;          // the old directory
    QList<QByteArray> names;   // the files copied, in it
    QList<struct stat> copied; // each file as it was copied
};

// Stages the database files of `from` as a new set beside `to`: the items
// of its own description followed by the description, or else its
// regular files.
ZNRelocation znStageRelocation(const QString& from, const QString& to, ZNRelocatedFiles* files);

// Removes the copied files from the old directory, each only while it is
// still the very file that was copied.
void znDropRelocatedFiles(const ZNRelocatedFiles& files);

#endif // ZNRELOCATION_H
