// Relocation of the virus database directory when the work area changes.
//
// Runs on the update thread only. The files move one by one (a rename, or
// a whole copy and a delete across file systems), so at any moment each
// file is complete at one place or the other.

#ifndef ZNRELOCATION_H
#define ZNRELOCATION_H

#include <QString>

enum class ZNRelocation {
    Same,         // `from` and `to` are one directory: nothing to move
    Missing,      // `from` is not a directory
    TargetFailed, // `to` could not be made
    Moved,        // the files are at `to` now
    Failed,       // nothing usable to move, or a file could not be moved;
                  // later relocations must not run on top of it
};

// Moves the database files of `from` into `to`: the items of its own
// description followed by the description, or else its regular files.
ZNRelocation znRelocateVirusdb(const QString& from, const QString& to);

#endif // ZNRELOCATION_H
