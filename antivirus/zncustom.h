// ZNCustom: base class of the service's application modules.
//
// A module is configured once from config.json (loadConfigure) and then
// loads, saves and applies its user settings. Each hook returns false on
// failure and records the reason on the journal it is given. The base
// implementations accept everything and do nothing, so a module overrides
// only the hooks it needs.
//
// Ownership: a module is owned by whoever created it (the application
// router). The hooks may be called from the main thread and from connection
// worker threads; a derived module guards its own state.

#ifndef ZNCUSTOM_H
#define ZNCUSTOM_H

#include <QJsonObject>
#include <QObject>

#include <atomic>

class KX2Journals;

class ZNCustom : public QObject
{
    Q_OBJECT
public:
    explicit ZNCustom(QObject* parent = nullptr);
    ~ZNCustom() override;

    virtual bool loadConfigure(KX2Journals& journal, const QJsonObject& configuration);
    virtual bool settingsLoad(KX2Journals& journal, QJsonObject* settings);
    virtual bool settingsSave(KX2Journals& journal, const QJsonObject& settings);
    virtual bool startUp(KX2Journals& journal, const QJsonObject& configuration);

    // Set by a successful loadConfigure / settingsLoad of the derived module.
    // Atomic because request threads reload settings while others read them.
    std::atomic<bool> configured{false};
    std::atomic<bool> settingsLoaded{false};
};

#endif // ZNCUSTOM_H
