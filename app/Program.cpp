#include "app/Program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>
#include <QApplication>
#include <QStringList>

#include "app/AddressSetting.h"
#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/GgService.h"
#include "app/HttpService.h"
#include "app/MainWindow.h"
#include "app/QtLoopDriver.h"
#include "app/SignalWatcher.h"
#include "app/Unit1.h"
#include "app/WindowToolkit.h"
#include "gg/Random.h"

namespace ordwin {

namespace {

constexpr const char* kNoDisplayNotice = "Ordwin: no display available; running without a window (--headless)\n";

// Each GG or HTTP client holds a descriptor: the platform's default soft limit (often 1,024)
// would turn clients away at about a thousand, long before the hard limit.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

QStringList Arguments(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args.append(QString::fromLocal8Bit(argv[i]));
  return args;
}

// The part both ways of running share: the form with its services, start-up, the given loop
// until it ends, and shut-down when the form goes (before the view, which outlives it).
int RunForm(IFormView& view, const std::function<int(TForm1&)>& runLoop) {
  TForm1 form(view);
  // The port of GG over TLS while it runs: the server-address reply names it to clients that ask.
  auto tlsPort = std::make_shared<int>(0);
  form.AddService(std::make_unique<THttpService>(form, [tlsPort] { return *tlsPort; }));
  form.AddService(std::make_unique<TGgService>(form, tlsPort));
  form.Dispatch([&form] { form.FormCreate(); });
  return runLoop(form);
}

int RunHeadless() {
  TConsoleView view(STDOUT_FILENO, STDERR_FILENO);
  return RunForm(view, [](TForm1& form) {
    TEventLoop& loop = TEventLoop::Instance();
    TSignalWatcher stop([&form, &loop] {
      bool canClose = true;
      form.Dispatch([&form, &canClose] { form.FormCloseQuery(canClose); });
      if (canClose) loop.Terminate();
    });
    loop.Run();
    return 0;
  });
}

int RunWindow(QApplication& app) {
  TMainWindow window;
  return RunForm(window, [&app, &window](TForm1&) {
    TQtLoopDriver driver;
    TSignalWatcher stop([&window] { window.close(); });
    window.show();
    return app.exec();
  });
}

}  // namespace

int RunOrdwin(int argc, char** argv) {
  try {
    const TCommandLine line = ParseCommandLine(Arguments(argc, argv));
    switch (line.Action) {
      case TCommandLine::TAction::caShowHelp:
      case TCommandLine::TAction::caShowVersion:
        std::fputs(line.Text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
      case TCommandLine::TAction::caMistake:
        std::fputs(line.Text.c_str(), stderr);
        return kUsageExitStatus;
      case TCommandLine::TAction::caRun:
        break;
    }
    // Stored before anything starts, so that start-up loads it as it loads the box's text.
    if (line.Address) StoreAddressSetting(*line.Address);
    if (line.KeepMessages) StoreKeepMessagesSetting(*line.KeepMessages);

    // A log reader that went away must not take the server with it.
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    RandomizeFromClock();
    // Before Qt starts any thread, so that the stop signals only ever reach the signalfd.
    TSignalWatcher::BlockStopSignals();

    if (line.Headless) return RunHeadless();
    std::unique_ptr<QApplication> app = StartWindowToolkit(argc, argv);
    if (!app) {
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
