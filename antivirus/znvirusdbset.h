// The virus database directory as a set installed whole.
//
// A new set is staged beside the directory `dir` (at "<dir>.new"): hard
// links of the installed files plus the new ones. Once an engine has loaded
// the staged set (the proof), it is marked proven and swapped in with one
// exchange of the two directories, so `dir` always holds a set that loaded,
// a kill at any moment included. Where the file system cannot exchange,
// two renames do it through "<dir>.old", and znRecoverVirusdbSets() finishes
// or undoes an interrupted swap at the next run. "<dir>.good" keeps a copy
// of the last set that loaded, to fall back to.
//
// The directories may lie in a work area that a user can write: every file
// is reached through directory descriptors with O_NOFOLLOW, only regular
// files are taken, and a link found is never followed (it is traced).
//
// Runs on the update thread only; every function is reentrant.

#ifndef ZNVIRUSDBSET_H
#define ZNVIRUSDBSET_H

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

#include <sys/stat.h>

// The sibling names of the set directory `dir`.
QString znStagedSetDir(const QString& dir); // "<dir>.new"
QString znGoodSetDir(const QString& dir);   // "<dir>.good"

// Finishes a swap that a kill interrupted (a proven staged set whose
// directory is missing), or puts the replaced set back; then drops what is
// left of staging. Call before anything else touches the directories.
void znRecoverVirusdbSets(const QString& dir);

// Stages "<dir>.new" anew: the database files of `base` (hard links, or
// copies where links cannot be made), then each replacement (a plain name
// and the path of a verified file, which is moved in over its namesake).
// `base` may be missing (an empty start). False with the reason.
bool znStageVirusdbSet(const QString& dir, const QString& base,
                       const QList<QPair<QString, QString>>& replacements, QString* reason);

// Copies the database files of `source` (a directory the service does not
// own, such as the distribution's) into a newly staged "<dir>.new", over
// hard links of `dir`'s files when `overInstalled`, else alone; nothing in
// `source` is moved or changed.
bool znStageVirusdbCopy(const QString& dir, const QString& source, bool overInstalled,
                        QString* reason);

// Copies the regular file `name` of the open directory `source` (one the
// service does not own) into the staged set of `dir`, opened without
// following a link; `copied` receives the file as it was copied. False
// when it is no regular file or cannot be copied.
bool znCopyIntoStagedSet(const QString& dir, int source, const QByteArray& name,
                         struct stat* copied);

// Marks the staged set proven and swaps it in for `dir`. The replaced set
// is removed, or kept at `keepReplaced` when that is given. False with the
// reason; `dir` then still holds the set it held.
bool znInstallVirusdbSet(const QString& dir, QString* reason,
                         const QString& keepReplaced = QString());

// Removes the staged set.
void znDiscardStagedSet(const QString& dir);

// Makes "<dir>.good" a copy of `dir` (hard links), replaced as a whole.
bool znKeepGoodVirusdbSet(const QString& dir);

// Whether `source` holds database files that `dir` lacks, or whose size or
// MD5 differ from their namesakes in `dir` while being newer (modified
// later): a set another updater refreshed.
bool znHasNewerVirusdbFiles(const QString& source, const QString& dir);

// The names, sizes and modification times of the database files in `dir`:
// equal stamps mean an unchanged directory, without reading the files.
QByteArray znVirusdbStamp(const QString& dir);

// Whether `name` is a mark the service keeps among the set's files (the
// proof mark), not a file of the set.
bool znIsVirusdbSetMark(const QByteArray& name);

// When the set in `dir` was installed: the time of its proof mark, or the
// latest modification of its files for a set that never had one.
QDateTime znVirusdbSetTime(const QString& dir);

#endif // ZNVIRUSDBSET_H
