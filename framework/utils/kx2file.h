// Whole-file reads and writes, JSON files, recursive directory removal and
// file digests.
//
// KX2File is a namespace-like class of static functions; it holds no state,
// so every function may be called from any thread at any time. Concurrent
// calls on the same path are not coordinated here: callers that share a file
// serialise their access themselves.
//
// Nothing throws and nothing is logged. Failure shows only in the result
// (false, empty bytes, an empty object, a null digest); out parameters are
// left untouched on failure, so callers may pre-fill them with defaults.

#ifndef KX2FILE_H
#define KX2FILE_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <sys/types.h>

class KX2File
{
public:
    KX2File() = delete;

    // Replaces `bytes` with the whole content of `filePath` (read without
    // text-mode translation). False, with `bytes` unchanged, when the file
    // cannot be opened for reading or a read fails part-way.
    static bool loadBinary(QByteArray& bytes, const QString& filePath);

    // Writes `bytes` as the new content of `filePath`, creating missing
    // parent directories first. The content goes to a temporary file in the
    // same directory (named by temporaryPrefix()) that is renamed over the
    // target only once every byte is written and flushed to the disk, so
    // readers see either the old or the whole new content, never a mix,
    // and a crash leaves the old content. Any failure (a full file system
    // included) leaves the target untouched, removes the temporary file
    // and returns false. A target that is a symbolic link is replaced by
    // the file, never followed. The file gets exactly the permissions
    // `mode`, whatever the process's umask and the mode of the file it
    // replaces: by default only its owner may read it, since what a root
    // service keeps (settings, records) is nobody else's business.
    static bool saveBinary(const QByteArray& bytes, const QString& filePath,
                           mode_t mode = kPrivateMode);

    // Permissions of the files saveBinary() writes unless told otherwise.
    static constexpr mode_t kPrivateMode = 0600;

    // Takes every permission bit beyond `mode` away from the regular file
    // `filePath`, which an earlier version may have left readable by
    // others. A symbolic link is neither followed nor changed. True when
    // nothing at `filePath` exceeds `mode` afterwards (a missing file
    // included).
    static bool restrictMode(const QString& filePath, mode_t mode = kPrivateMode);

    // Temporary files of saveBinary() for `filePath` are named this prefix
    // followed by the writing process's id, '.', and a serial number.
    static QString temporaryPrefix(const QString& filePath);
    // Removes temporary files of saveBinary() for `filePath` that a process
    // which no longer runs left behind (killed while saving). Returns how
    // many were removed. Call it before the file is saved again.
    static int removeStaleTemporaries(const QString& filePath);

    // The whole file, or empty bytes when it cannot be opened.
    static QByteArray readAll(const QString& filePath);

    // Reads and parses `filePath`. True when the file was read and parsed
    // without error; `object` then becomes the top-level object (an empty
    // object when the document holds an array). On any failure `object` is
    // left as it was.
    static bool loadJson(QJsonObject& object, const QString& filePath);

    // The file's top-level object; an empty object when the file is missing,
    // unreadable, malformed or holds an array.
    static QJsonObject readJsonObject(const QString& filePath);

    // Serialises `value` (an object or an array; anything else returns false
    // and writes nothing) to `filePath` through saveBinary. `compact` selects
    // the form without white space; otherwise four-space indentation with a
    // trailing newline. `mode` as for saveBinary.
    static bool saveJson(const QString& filePath, const QJsonValue& value, bool compact = false,
                         mode_t mode = kPrivateMode);

    // Removes everything inside `dirPath`, and the directory itself when
    // `removeSelf` is true. Symbolic links are removed as links: their
    // targets, inside or outside the tree, are never entered or deleted.
    // That holds for `dirPath` itself too: when it is a link, the link is
    // removed whatever `removeSelf` says.
    // Returns whether the directory no longer exists afterwards, so a
    // successful call with `removeSelf` false on an existing directory
    // returns false.
    static bool removeDirs(const QString& dirPath, bool removeSelf = true);

    // Lower-case hexadecimal MD5 (32 characters) of the file's bytes; a null
    // string when the file is missing or cannot be read in full.
    static QString fileMd5(const QString& filePath);
};

#endif // KX2FILE_H
