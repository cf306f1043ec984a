#pragma once

// The user's stored Boolean preferences (the confirmation flags), as an injectable service.

#include <QString>

#include <map>
#include <memory>

class QSettings;

namespace app {

class UserDefaults {
  public:
    virtual ~UserDefaults() = default;
    /// False when absent.
    virtual bool boolForKey(const QString& key) const = 0;
    virtual void setBool(const QString& key, bool value) = 0;
};

/// Stored with QSettings under the application's organisation and name.
class SettingsDefaults : public UserDefaults {
  public:
    SettingsDefaults();
    explicit SettingsDefaults(const QString& iniPath);
    ~SettingsDefaults() override;
    bool boolForKey(const QString& key) const override;
    void setBool(const QString& key, bool value) override;

  private:
    std::unique_ptr<QSettings> settings_;
};

/// Kept in memory only.
class MemoryDefaults : public UserDefaults {
  public:
    bool boolForKey(const QString& key) const override {
        auto it = values_.find(key);
        return it != values_.end() && it->second;
    }
    void setBool(const QString& key, bool value) override { values_[key] = value; }
    bool contains(const QString& key) const { return values_.count(key) != 0; }

  private:
    std::map<QString, bool> values_;
};

} // namespace app
