#include "app/AddressSetting.h"

#include <cstring>
#include <optional>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include "net/Exception.h"

namespace ordwin {

namespace {

constexpr const char* kOrganization = "Malvory";
constexpr const char* kApplication = "RIDuziva";
constexpr const char* kKey = "ustawienia/adres";
constexpr const char* kKeepKey = "ustawienia/przechowuj";
constexpr const char* kKeepOn = "tak";

// The current user's store only: no organisation-wide or system-wide file may supply the value.
void UserStoreOnly(QSettings& settings) { settings.setFallbacksEnabled(false); }

// Opens the store, creating an empty one when absent, as the first start leaves it.
bool OpenOrCreateStore(const QString& fileName) {
  QFileInfo info(fileName);
  if (info.exists()) return info.isFile();
  if (!QDir().mkpath(info.absolutePath())) return false;
  QFile file(fileName);
  return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

// Writes value under key (removes the key without one) and makes it durable.
void WriteSetting(const char* key, const std::optional<QString>& value) {
  QSettings settings(kOrganization, kApplication);
  UserStoreOnly(settings);
  if (!OpenOrCreateStore(settings.fileName())) throw Exception("Failed to create key ustawienia");
  if (value)
    settings.setValue(key, *value);
  else
    settings.remove(key);
  settings.sync();
  if (settings.status() != QSettings::NoError)
    throw Exception(std::string("Failed to set data for '") + (std::strchr(key, '/') + 1) + "'");
}

}  // namespace

std::string LoadAddressSetting() {
  QSettings settings(kOrganization, kApplication);
  UserStoreOnly(settings);
  if (!OpenOrCreateStore(settings.fileName())) return kDefaultAddress;
  settings.sync();
  QVariant value = settings.value(kKey);
  if (settings.status() != QSettings::NoError || !value.isValid()) return kDefaultAddress;
  if (value.typeId() != QMetaType::QString) throw Exception("Invalid data type for 'adres'");
  return value.toString().toStdString();
}

void StoreAddressSetting(const std::string& text) { WriteSetting(kKey, QString::fromStdString(text)); }

std::string SettingsFolder() {
  QSettings settings(kOrganization, kApplication);
  return QFileInfo(settings.fileName()).absolutePath().toStdString();
}

bool LoadKeepMessagesSetting() {
  QSettings settings(kOrganization, kApplication);
  UserStoreOnly(settings);
  const QString value = settings.value(kKeepKey).toString().trimmed().toLower();
  return settings.status() == QSettings::NoError &&
         (value == QLatin1String(kKeepOn) || value == QLatin1String("true") || value == QLatin1String("1"));
}

void StoreKeepMessagesSetting(bool keep) {
  WriteSetting(kKeepKey, keep ? std::optional<QString>(QString::fromLatin1(kKeepOn)) : std::nullopt);
}

}  // namespace ordwin
