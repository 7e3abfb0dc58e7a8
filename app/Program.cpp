#include "app/Program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>

#include <QApplication>
#include <unistd.h>

#include "app/ConsoleView.h"
#include "app/GgService.h"
#include "app/HttpService.h"
#include "app/MainWindow.h"
#include "app/QtLoopDriver.h"
#include "gg/Random.h"
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

// The part both ways of running share: the form with its services, start-up, the given loop
// until it ends, and shut-down when the form goes (before the view, which outlives it).
int RunForm(IFormView& View, const std::function<int(TForm1&)>& RunLoop) {
  TForm1 form(View);
  form.AddService(std::make_unique<THttpService>(form, TRiDuziva::kDefaultPort));
  form.AddService(std::make_unique<TGgService>(form));
  form.Dispatch([&form] { form.FormCreate(); });
  return RunLoop(form);
}

int RunHeadless() {
  TConsoleView view(STDOUT_FILENO, STDERR_FILENO);
  return RunForm(view, [](TForm1& Form) {
    EventLoop& loop = EventLoop::Instance();
    TSignalWatcher stop([&Form, &loop] {
      bool canClose = true;
      Form.Dispatch([&Form, &canClose] { Form.FormCloseQuery(canClose); });
      if (canClose) loop.Terminate();
    });
    loop.Run();
    return 0;
  });
}

int RunWindow(QApplication& App) {
  TMainWindow window;
  return RunForm(window, [&App, &window](TForm1&) {
    TQtLoopDriver driver;
    TSignalWatcher stop([&window] { window.close(); });
    window.show();
    return App.exec();
  });
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
