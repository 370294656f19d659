// The files around the creation of a new SQLite database: its directory,
// the temporary ".<name>.creating.<pid>.<serial>" files a creation builds
// before renaming them into place, durable syncs, and reading the SQL
// scripts a database is created and described with.
//
// Reentrant; any thread.

#ifndef KX2SQLCREATION_H
#define KX2SQLCREATION_H

#include <QFileInfo>
#include <QString>

#include <atomic>

#include <sys/types.h>

// Mode of a database file and of its journal files: its owner's only. The
// records of a root service (paths of users' files among them) are nobody
// else's business.
constexpr mode_t kKX2DatabaseMode = 0600;

// Creates a missing database directory (mode 755); an existing one keeps
// its mode.
void ensureDirectory(const QString& dirPath);
// Prefix of the temporary files of a creation of `target`.
QString creationPrefix(const QFileInfo& target);
// Serial number of the creations of this process.
extern std::atomic<unsigned> g_creationSerial;
// Removes what creations of processes that no longer run left behind.
void removeStaleCreations(const QFileInfo& target);
// Takes from the database file `path` and its journal files every
// permission beyond kKX2DatabaseMode.
void restrictDatabaseModes(const QString& path);
// Removes a temporary database with SQLite's side files.
void removeCreation(const QString& temporary);
// fsync() of a file or directory opened with `flags`.
bool syncPath(const QString& path, int flags);
// The whole UTF-8 text of `path`, trimmed; false when it cannot be read.
bool readTextFile(const QString& path, QString* text);

#endif // KX2SQLCREATION_H
