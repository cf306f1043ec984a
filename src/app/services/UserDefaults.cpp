#include "app/services/UserDefaults.h"

#include <QSettings>

namespace app {

SettingsDefaults::SettingsDefaults()
    : settings_(std::make_unique<QSettings>("Glimmerworks", "Glimmerworks")) {}

SettingsDefaults::SettingsDefaults(const QString& iniPath)
    : settings_(std::make_unique<QSettings>(iniPath, QSettings::IniFormat)) {}

SettingsDefaults::~SettingsDefaults() = default;

bool SettingsDefaults::boolForKey(const QString& key) const {
    return settings_->value(key, false).toBool();
}

void SettingsDefaults::setBool(const QString& key, bool value) {
    settings_->setValue(key, value);
    settings_->sync();
}

} // namespace app
