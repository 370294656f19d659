#include "znconfiguration.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonValue>

#include "kx2values.h"

const QStringList G_OVERALL_EXCLUDES = {
    QStringLiteral("ftp"),
    QStringLiteral("webdav"),
    QStringLiteral("velcan"),
};

namespace {

// The address a configuration without "virusdburl" gets: it reaches no
// server, and says so in an update's failure.
const char kNoUpdateSource[] = "http://....";

QString trimmedString(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString().trimmed();
}

QString orDefault(const QString& value, const char* fallback)
{
    return value.isEmpty() ? QString::fromUtf8(fallback) : value;
}

// Non-blank entries, first occurrence kept.
QStringList excludeList(const QJsonValue& value)
{
    QStringList list = toStrings(value, true);
    list.removeDuplicates();
    return list.isEmpty() ? G_OVERALL_EXCLUDES : list;
}

// One address or a list of them; blanks dropped.
QStringList urlList(const QJsonValue& value)
{
    QStringList urls;
    const QJsonArray list = value.isArray() ? value.toArray() : QJsonArray{value};
    for (const QJsonValue& entry : list) {
        const QString url = entry.toString().trimmed();
        if (!url.isEmpty() && !urls.contains(url))
            urls << url;
    }
    return urls.isEmpty() ? QStringList{QLatin1String(kNoUpdateSource)} : urls;
}

} // namespace

ZNConfiguration ZNConfiguration::fromJson(const QJsonObject& configuration)
{
    ZNConfiguration c;
    c.settingsFile = orDefault(configuration.value(QLatin1String("settings")).toString(),
                               "/zelo/etc/antivirus/settings.json");
    c.settingsDir = QDir(QFileInfo(c.settingsFile).absolutePath());
    c.virusdbUrls = urlList(configuration.value(QLatin1String("virusdburl")));
    c.systemVirusdbDir =
        orDefault(trimmedString(configuration, "systemvirusdb"), "/var/lib/clamav");
    c.scanTempDir = trimmedString(configuration, "tmpdir");
    c.databaseFile =
        orDefault(trimmedString(configuration, "database"), "/zelo/etc/antivirus/antivirus.db");
    const QJsonObject overall = configuration.value(QLatin1String("overall")).toObject();
    c.overallPath = orDefault(trimmedString(overall, "path"), "/mnt");
    c.overallExcludes = excludeList(overall.value(QLatin1String("excludes")));
    return c;
}

bool ZNConfiguration::hasUpdateSource() const
{
    return virusdbUrls != QStringList{QLatin1String(kNoUpdateSource)};
}

QString ZNConfiguration::descriptionFile() const
{
    return settingsDir.absoluteFilePath(QStringLiteral("virusdb.json"));
}
