// The online update of the virus database: fetch the description from the
// mirror, download the files that differ, check each against its listed
// size and MD5, and install them all or none.
//
// What arrives from the mirror is untrusted: a file name is accepted only
// as a plain name inside the database directory, and every downloaded file
// must match before any file is installed. Installing renames each file
// over its predecessor, so at any moment, a kill included, every database
// file is either the old one or the new one, whole.
//
// Runs on the update thread only; `progress` is read by other threads.

#ifndef ZNVIRUSDBDOWNLOAD_H
#define ZNVIRUSDBDOWNLOAD_H

#include <QJsonArray>
#include <QString>

#include <atomic>

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

// One update run against `url` into `directory`; the description goes to
// `descriptionFile`. True when every listed file is current afterwards;
// `changed` tells whether one was installed. A raised `stop` ends the run
// (false) at the next chunk.
bool znUpgradeVirusdb(const QString& url, const QString& directory, const QString& descriptionFile,
                      ZNDownloadProgress& progress, const std::atomic<bool>& stop, bool& changed);

#endif // ZNVIRUSDBDOWNLOAD_H
