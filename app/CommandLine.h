// The program's command line: what it asks for, and the texts that answer --help, --version and a
// mistake. Reading it needs no display and starts nothing.
#pragma once

#include <optional>
#include <string>

#include <QStringList>

namespace ordwin {

// The exit status of a command line the program does not understand.
inline constexpr int kUsageExitStatus = 2;

struct TCommandLine {
  enum class TAction { caRun, caShowHelp, caShowVersion, caMistake };

  TAction Action = TAction::caRun;
  bool Headless = false;
  // --address: the server address to store, as the window's box stores it, before start-up.
  std::optional<std::string> Address;
  // --keep-messages (true) or --keep-messages=off (false): the setting to store before start-up.
  std::optional<bool> KeepMessages;
  // For ShowHelp and ShowVersion, the text for standard output; for Mistake, the one-line error
  // and the usage, for standard error. Empty for Run.
  std::string Text;
};

// The arguments as given to main, the program first; only its file name shows in the usage.
TCommandLine ParseCommandLine(const QStringList& args);

}  // namespace ordwin
