#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef ORDWIN_VERSION
#error "ORDWIN_VERSION comes from the build"
#endif

namespace ordwin {

namespace {

constexpr const char* kDescription =
    "A GG (Gadu-Gadu) server for this PC and the local network. GG clients log in\n"
    "on TCP port 8074; port 80 answers their server-address query. Without options\n"
    "it opens its window; where no display can be reached it says so and runs\n"
    "headless.";

std::string Utf8(const QString& text) { return text.toStdString(); }

// The parser names an unknown option without its dashes (and "-hv" as "hv"); the user is shown
// each as typed.
QString UnknownOptionsText(const QStringList& args, const QStringList& names) {
  QStringList typed;
  for (const QString& name : names) {
    QString shown = name;
    for (const QString& arg : args.mid(1)) {
      if (arg == QLatin1String("--")) break;
      const QString option = arg.section(QLatin1Char('='), 0, 0);
      if (option.startsWith(QLatin1Char('-')) && QString(option).remove(QRegularExpression("^--?")) == name) {
        shown = option;
        break;
      }
    }
    typed.append(shown);
  }
  if (typed.size() == 1) return "Unknown option '" + typed.first() + "'.";
  return "Unknown options: " + typed.join(QStringLiteral(", ")) + ".";
}

// The parser's options either take a value or never do: "--keep-messages=off" (or "=on") is
// handed to it as an option of its own, hidden from the help.
QStringList WithKeepMessagesSpelledOut(QStringList args) {
  static const QRegularExpression kWithValue("^--?keep-messages=(on|off)$");
  for (qsizetype i = 1; i < args.size() && args[i] != QLatin1String("--"); ++i) {
    const QRegularExpressionMatch match = kWithValue.match(args[i]);
    if (match.hasMatch())
      args[i] = match.captured(1) == QLatin1String("on") ? "--keep-messages" : "--keep-messages-off";
  }
  return args;
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& given) {
  const QStringList args = WithKeepMessagesSpelledOut(given);
  QCommandLineParser parser;
  // "-headless" is "--headless", not seven short options.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(QString::fromUtf8(kDescription));
  const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
  const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
  const QCommandLineOption headless(
      "headless",
      "Run without a window: log lines and hints go to standard output, message and error boxes to "
      "standard error; Ctrl+C or SIGTERM stops it.");
  const QCommandLineOption address(
      "address",
      "Store ADDRESS as the server address given to clients, as the window's box does, and start "
      "with it.",
      "ADDRESS");
  const QCommandLineOption keep(
      "keep-messages",
      "Keep each message for a person who is not connected until they next log in (up to 30 days), "
      "and store this choice for the next starts; --keep-messages=off stops it.");
  QCommandLineOption keepOff("keep-messages-off");
  keepOff.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOptions({help, version, headless, address, keep, keepOff});

  // Without an application object the parser cannot name the program; it leaves a placeholder.
  const QString program = args.isEmpty() ? QStringLiteral("ordwin") : QFileInfo(args.first()).fileName();
  QString usage = parser.helpText();
  usage.replace(QStringLiteral("<executable_name>"), program);

  TCommandLine line;
  bool understood = parser.parse(args);
  if (understood && !parser.positionalArguments().isEmpty()) {
    understood = false;
    line.Text = "Ordwin: Unexpected argument '" + Utf8(parser.positionalArguments().first()) + "'.\n";
  } else if (!understood && !parser.unknownOptionNames().isEmpty()) {
    line.Text = "Ordwin: " + Utf8(UnknownOptionsText(given, parser.unknownOptionNames())) + "\n";
  } else if (!understood) {
    line.Text = "Ordwin: " + Utf8(parser.errorText()) + "\n";
  }
  if (!understood) {
    line.Action = TCommandLine::TAction::caMistake;
    line.Text += Utf8(usage);
  } else if (parser.isSet(help)) {
    line.Action = TCommandLine::TAction::caShowHelp;
    line.Text = Utf8(usage);
  } else if (parser.isSet(version)) {
    line.Action = TCommandLine::TAction::caShowVersion;
    line.Text = std::string("Ordwin ") + ORDWIN_VERSION + "\n";
  }
  line.Headless = parser.isSet(headless);
  if (understood && parser.isSet(address)) line.Address = Utf8(parser.value(address));
  // The last one given wins, as for any repeated option.
  if (understood && (parser.isSet(keep) || parser.isSet(keepOff)))
    line.KeepMessages =
        parser.optionNames().lastIndexOf("keep-messages") > parser.optionNames().lastIndexOf("keep-messages-off");
  return line;
}

}  // namespace ordwin
