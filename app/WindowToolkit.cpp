#include "app/WindowToolkit.h"

#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <QIcon>
#include <QString>

#include "app/StderrHold.h"

namespace ordwin {

namespace {

constexpr const char* kPlatformVariable = "QT_QPA_PLATFORM";

bool HasEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Whether a platform list ("name:options;name;...") names the offscreen platform.
bool NamesOffscreen(const QString& platforms) {
  for (const QString& entry : platforms.split(QLatin1Char(';')))
    if (entry.section(QLatin1Char(':'), 0, 0).trimmed() == QLatin1String("offscreen")) return true;
  return false;
}

}  // namespace

std::unique_ptr<QApplication> StartWindowToolkit(int& argc, char** argv) {
  const bool chosen = HasEnv(kPlatformVariable);
  if (!chosen && !HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY")) return nullptr;

  const std::string named = chosen ? std::getenv(kPlatformVariable) : std::string();
  const bool offscreenAsked = chosen && NamesOffscreen(QString::fromLocal8Bit(named.c_str()));
  std::string platforms = named;
  if (!chosen) platforms = HasEnv("WAYLAND_DISPLAY") ? "wayland;xcb" : "xcb";
  if (!offscreenAsked) platforms += ";offscreen";
  ::setenv(kPlatformVariable, platforms.c_str(), 1);

  TStderrHold hold;
  auto app = std::make_unique<QApplication>(argc, argv);
  // The user's variable goes back as it was, for the programs a window may start.
  if (chosen)
    ::setenv(kPlatformVariable, named.c_str(), 1);
  else
    ::unsetenv(kPlatformVariable);
  if (!offscreenAsked && QGuiApplication::platformName() == QLatin1String("offscreen")) {
    app.reset();
    hold.Drop();
    return nullptr;
  }
  hold.PassOn();
  // Desktops find the window's name and icon through the installed entry and icon theme.
  QGuiApplication::setDesktopFileName(QStringLiteral("ordwin"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("ordwin")));
  return app;
}

}  // namespace ordwin
