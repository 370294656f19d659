#include "zncustom.h"

ZNCustom::ZNCustom(QObject* parent) : QObject(parent) {}

ZNCustom::~ZNCustom() = default;

bool ZNCustom::loadConfigure(KX2Journals&, const QJsonObject&)
{
    return true;
}

bool ZNCustom::settingsLoad(KX2Journals&, QJsonObject*)
{
    return true;
}

bool ZNCustom::settingsSave(KX2Journals&, const QJsonObject&)
{
    return true;
}

bool ZNCustom::startUp(KX2Journals&, const QJsonObject&)
{
    return true;
}
