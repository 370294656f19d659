// KX2Core: process-wide state every application object of the framework
// carries: the logger, the console-debugging switch, the parsed
// configuration and the two directories the process works from.
//
// Construct it only after the QCoreApplication exists (the executable's
// directory comes from it). Written on the main thread during start-up and
// only read afterwards, so it needs no lock.

#ifndef KX2CORE_H
#define KX2CORE_H

#include <QDir>
#include <QJsonObject>

#include "kx2logger.h"

class KX2Core
{
public:
    KX2Core();
    virtual ~KX2Core();

    KX2Logger logger;
    bool debugging = false;
    QJsonObject configuration;
    QDir appDir;    // holds the executable
    QDir configDir; // holds config.json and the service's other fixed files

private:
    Q_DISABLE_COPY(KX2Core)
};

#endif // KX2CORE_H
