#include "app/AddressSetting.h"

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

void StoreAddressSetting(const std::string& text) {
  QSettings settings(kOrganization, kApplication);
  UserStoreOnly(settings);
  if (!OpenOrCreateStore(settings.fileName())) throw Exception("Failed to create key ustawienia");
  settings.setValue(kKey, QString::fromStdString(text));
  settings.sync();
  if (settings.status() != QSettings::NoError) throw Exception("Failed to set data for 'adres'");
}

}  // namespace ordwin
