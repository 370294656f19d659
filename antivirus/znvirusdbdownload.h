// The online fetch of the virus database: the description from the
// mirror, then the files that differ, each checked against its listed size
// and MD5, staged as a new set beside the database directory.
//
// What arrives from the mirror is untrusted: a file name is accepted only
// as a plain name inside the database directory, every status is checked,
// and every downloaded file must match before the set is staged. Whether
// the set loads is proven by the caller before it is installed.
//
// Runs on the update thread only; `progress` is read by other threads.

#ifndef ZNVIRUSDBDOWNLOAD_H
#define ZNVIRUSDBDOWNLOAD_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// The figures a progress request reports.
struct ZNDownloadProgress
{
    std::atomic<int> rate{0};        // percent of `total` received
    std::atomic<qint64> total{0};    // bytes of the files to download
    std::atomic<qint64> position{0}; // bytes received so far
};

// Name of the download directory inside the database directory.
extern const QLatin1String G_DOWNLOAD_DIR;

// The description's items checked as a whole: every name plain and listed
// once, every size a non-negative number. Traces the first offending name.
bool znCheckDescriptionItems(const QJsonArray& items);

// How a fetch learns that the run was stopped, and waits between attempts
// (false when the run was stopped meanwhile). Both are called on the
// fetching thread.
struct ZNFetchControl
{
    std::function<bool()> stopped;
    std::function<bool(int milliseconds)> pause;
};

// What one fetch came to.
struct ZNFetchedSet
{
    bool ok = false;
    bool staged = false;     // a new set waits beside the directory for its proof
    QJsonObject description; // the description the set follows (when ok)
    QString reason;          // when not ok: the address or file, and the cause
};

// Fetches the description from each of `urls` in turn until one run
// succeeds: the description (HTTP 2xx, an object with valid "items"), then
// the listed files that differ from `directory`'s, each checked against its
// size and MD5. A set with new files is staged beside `directory` (see
// znStageVirusdbSet); nothing is installed and no description is written
// here. A connection that fails is tried again after a growing pause; a
// stop ends the fetch within about a second.
ZNFetchedSet znFetchVirusdb(const QStringList& urls, const QString& directory,
                            ZNDownloadProgress& progress, const ZNFetchControl& control);

#endif // ZNVIRUSDBDOWNLOAD_H
