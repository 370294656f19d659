#include "kx2core.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

KX2Core::KX2Core()
{
    appDir = QDir(QCoreApplication::applicationDirPath());
    // An "etc" entry beside the executable makes a self-contained install;
    // otherwise fall back to the platform's per-application data location.
    const QFileInfo etc(appDir.filePath(QStringLiteral("etc")));
    if (etc.exists())
        configDir = QDir(etc.absoluteFilePath());
    else
        configDir = QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

KX2Core::~KX2Core() = default;
