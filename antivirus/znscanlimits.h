// ZNScanLimits: how much of one file libclamav reads (its size, the data
// inside it, archive depth and members, time), and how the service counts
// a file that was not scanned in full.
//
// The limits are user settings (keys below) applied to every engine when it
// is loaded, so they take effect with the next engine; they are part of the
// engine's detection digest, so the clean-file cache forgets what it
// remembered under other limits. libclamav is always asked to report a
// file it did not read in full (its "exceeds max" and encrypted-archive
// heuristics); limitReason() turns that report into the reason the scan
// counts the file as limited, or into a detection when `alert` is set.
//
// Plain values, no state: any thread.

#ifndef ZNSCANLIMITS_H
#define ZNSCANLIMITS_H

#include <QJsonObject>
#include <QString>

#include <clamav.h>

struct ZNScanLimits
{
    // Files larger than this are not read at all.
    qint64 maxFileMiB = 1024;
    // Data read from one file, its archive members and embedded files
    // together.
    qint64 maxScanMiB = 2048;
    // Archive inside archive, this deep.
    int maxRecursion = 17;
    // Members of one archive.
    int maxFiles = 10000;
    // Time spent on one file.
    int maxSeconds = 300;
    // A file over a limit is reported as a detection
    // ("Heuristics.Limits.Exceeded.*") instead of counted as limited.
    bool alert = false;

    // From a normalised settings object; absent keys keep the defaults.
    static ZNScanLimits fromSettings(const QJsonObject& settings);
    // Writes given keys back as whole numbers within their ranges.
    static void normalise(QJsonObject& settings);
    // Sets the limits on an engine not yet compiled; false when libclamav
    // refuses one.
    bool applyTo(cl_engine* engine) const;

    // A file of `bytes` is not given to libclamav at all: it would read
    // none of it, and reports that without naming the limit.
    bool exceedsFileSize(qint64 bytes) const { return bytes > maxFileMiB * 1024 * 1024; }
    // The name a file over the size limit is reported under.
    static const char kFileSizeExceeded[];

    // Why a file whose scan ended with `result` (and `virus`, for
    // CL_VIRUS) was not scanned in full: the name libclamav gives a limit
    // or an encrypted archive, or its error text. Empty when the file was
    // scanned in full, and for a detection (a limit counts as one when
    // `alert` is set).
    QString limitReason(cl_error_t result, const char* virus) const;

    bool operator==(const ZNScanLimits& other) const;
    bool operator!=(const ZNScanLimits& other) const { return !(*this == other); }
};

#endif // ZNSCANLIMITS_H
