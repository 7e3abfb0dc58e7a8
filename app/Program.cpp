#include "app/Program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include <QApplication>
#include <unistd.h>

#include "app/ConsoleView.h"
#include "app/MainWindow.h"
#include "app/QtLoopDriver.h"
#include "app/Random.h"
#include "app/SignalWatcher.h"
#include "app/Unit1.h"

namespace ordwin {

namespace {

constexpr const char* kNoDisplayNotice = "Ordwin: no display available; running without a window (--headless)\n";

bool HasEnv(const char* Name) {
  const char* value = std::getenv(Name);
  return value != nullptr && *value != '\0';
}

bool HeadlessAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--headless") == 0) return true;
  return false;
}

int RunHeadless() {
  EventLoop& loop = EventLoop::Instance();
  TConsoleView view(STDOUT_FILENO, STDERR_FILENO);
  TForm1 form(view);
  TSignalWatcher stop([&form, &loop] {
    bool canClose = true;
    form.Dispatch([&form, &canClose] { form.FormCloseQuery(canClose); });
    if (canClose) loop.Terminate();
  });
  form.Dispatch([&form] { form.FormCreate(); });
  loop.Run();
  return 0;
}

// Made from the window inwards; unmade in reverse, so that the form's
// FormDestroy stops the services while the window still stands.
int RunWindow(QApplication& App) {
  TMainWindow window;
  TForm1 form(window);
  TQtLoopDriver driver;
  TSignalWatcher stop([&window] { window.close(); });
  form.Dispatch([&form] { form.FormCreate(); });
  window.show();
  return App.exec();
}

}  // namespace

int RunOrdwin(int argc, char** argv) {
  try {
    // A log reader that went away must not take the server with it.
    std::signal(SIGPIPE, SIG_IGN);
    RandomizeFromClock();
    // Before Qt starts any thread, so that the stop signals only ever reach the signalfd.
    TSignalWatcher::BlockStopSignals();

    if (HeadlessAsked(argc, argv)) return RunHeadless();

    // A platform the user named is used as named; otherwise a display that cannot be reached
    // ends in Qt's offscreen platform, which tells us to go on without a window.
    bool chosenPlatform = HasEnv("QT_QPA_PLATFORM");
    if (!chosenPlatform) {
      if (!HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY")) {
        std::fputs(kNoDisplayNotice, stderr);
        return RunHeadless();
      }
      ::setenv("QT_QPA_PLATFORM", HasEnv("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen", 1);
    }
    auto app = std::make_unique<QApplication>(argc, argv);
    if (!chosenPlatform) ::unsetenv("QT_QPA_PLATFORM");
    if (!chosenPlatform && QGuiApplication::platformName() == QLatin1String("offscreen")) {
      app.reset();
      std::fputs(kNoDisplayNotice, stderr);
      return RunHeadless();
    }
    return RunWindow(*app);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Ordwin: %s\n", e.what());
    return 1;
  }
}

}  // namespace ordwin
