#include "znrelocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <unistd.h>

#include "kx2file.h"
#include "zntrace.h"
#include "zntrusteddir.h"
#include "znvirusdbdownload.h"
#include "znvirusdbset.h"
#include "znworkarea.h"

namespace {

const QLatin1String kDescriptionFile("virusdb.json");

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `inner` lies somewhere below `outer` (both existing).
bool isInside(const QString& inner, const QString& outer)
{
    const QString a = QFileInfo(inner).canonicalFilePath();
    const QString b = QFileInfo(outer).canonicalFilePath();
    return !a.isEmpty() && !b.isEmpty() && a.startsWith(b + QLatin1Char('/'));
}

// The files a relocation copies out of the open directory `from`, in
// order: the items of its own description followed by the description
// itself, or else its regular files. Empty when there is nothing (valid)
// to copy. `listed` tells which.
QList<QByteArray> relocatedNames(int from, bool& listed)
{
    // Listed through the opened directory, whatever its name points at now.
    const QDir dir(QStringLiteral("/proc/self/fd/%1").arg(from));
    QList<QByteArray> names;
    listed = false;
    QJsonObject description;
    if (KX2File::loadJson(description, dir.filePath(kDescriptionFile))) {
        const QJsonArray items = description.value(QLatin1String("items")).toArray();
        if (items.isEmpty() || !znCheckDescriptionItems(items))
            return names;
        for (const QJsonValue& item : items)
            names << QFile::encodeName(item.toObject().value(QLatin1String("file")).toString());
        names << QFile::encodeName(kDescriptionFile);
        listed = true;
        return names;
    }
    for (const QFileInfo& file :
         dir.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot))
        names << QFile::encodeName(file.fileName());
    return names;
}

} // namespace

ZNRelocation znStageRelocation(const QString& from, const QString& to, ZNRelocatedFiles* files)
{
    // A link on the way to the old directory is followed only when it is
    // the administrator's: a user who owned the old work area could point
    // it anywhere.
    files->from = from.isEmpty() ? KX2UniqueFd() : znOpenTrustedDir(QFile::encodeName(from));
    if (!files->from.isValid()) {
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("旧目录不存在: ") + QFileInfo(from).absoluteFilePath());
        return ZNRelocation::Missing;
    }
    const QString target = QDir::cleanPath(QFileInfo(to).absoluteFilePath());
    const KX2UniqueFd area = znOpenWorkArea(QFileInfo(target).absolutePath());
    if (!area.isValid()) {
        znTrace(ZNTraceBits::Failures, znWorkAreaFault(QFileInfo(target).absolutePath()));
        return ZNRelocation::TargetFailed;
    }
    struct stat source, existing;
    if (::fstat(files->from.get(), &source) == 0
        && ::fstatat(area.get(), QFile::encodeName(QFileInfo(target).fileName()).constData(),
                     &existing, 0)
            == 0
        && sameFile(source, existing))
        return ZNRelocation::Same;
    // Swapping the new set in removes what the target held, the old
    // directory with it.
    if (isInside(from, target)) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("旧病毒库位于新位置之内，未移动: ") + from);
        return ZNRelocation::TargetFailed;
    }

    bool listed = false;
    const QList<QByteArray> names = relocatedNames(files->from.get(), listed);
    if (names.isEmpty())
        return ZNRelocation::Failed;
    QString reason;
    if (!znStageVirusdbSet(target, QString(), {}, &reason)) {
        znTrace(ZNTraceBits::Failures, reason);
        return ZNRelocation::TargetFailed;
    }
    for (const QByteArray& name : names) {
        struct stat copied;
        if (znCopyIntoStagedSet(target, files->from.get(), name, &copied)) {
            files->names << name;
            files->copied << copied;
            continue;
        }
        if (listed && name == QFile::encodeName(kDescriptionFile))
            continue; // its outcome does not matter
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("复制病毒库文件失败: ") + QDir(from).absoluteFilePath(QFile::decodeName(name)));
        znDiscardStagedSet(target);
        return ZNRelocation::Failed;
    }
    return ZNRelocation::Staged;
}

void znDropRelocatedFiles(const ZNRelocatedFiles& files)
{
    for (int i = 0; i < files.names.size(); ++i) {
        struct stat still;
        const QByteArray& name = files.names.at(i);
        if (::fstatat(files.from.get(), name.constData(), &still, AT_SYMLINK_NOFOLLOW) == 0
            && sameFile(still, files.copied.at(i)))
            ::unlinkat(files.from.get(), name.constData(), 0);
    }
    ::fsync(files.from.get());
}
