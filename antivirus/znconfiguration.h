// ZNConfiguration: the antivirus component's keys of config.json, with
// their defaults applied.
//
// Thread rules: filled by ZNAntiVirus::loadConfigure() before any
// background thread exists, read-only afterwards; components keep a const
// reference to the one instance in ZNAntiVirusPrivate.

#ifndef ZNCONFIGURATION_H
#define ZNCONFIGURATION_H

#include <QDir>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Directories excluded from the overall scan when config.json names none.
extern const QStringList G_OVERALL_EXCLUDES;

struct ZNConfiguration
{
    QString settingsFile;
    QDir settingsDir; // holds settings.json and virusdb.json
    // "virusdburl": the description's address, or a list of them tried in
    // order until one succeeds.
    QStringList virusdbUrls;
    QString databaseFile;
    QString overallPath;
    QStringList overallExcludes;
    // Where the virus database lives before any work area has been chosen
    // ("systemvirusdb"); the first work area takes its files.
    QString systemVirusdbDir;
    // Where libclamav writes the temporary files of a scan ("tmpdir");
    // when config.json names none, the private memory-backed directory the
    // process mounted for itself (ZNScanTempDir), else the system's.
    QString scanTempDir;

    static ZNConfiguration fromJson(const QJsonObject& configuration);
    // False when config.json names no "virusdburl".
    bool hasUpdateSource() const;
    // "virusdb.json", the description of the installed database set.
    QString descriptionFile() const;
};

#endif // ZNCONFIGURATION_H
