#include "app/MainWindow.h"

#include <functional>
#include <memory>

#include <QApplication>
#include <QButtonGroup>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include "app/QtLoopDriver.h"
#include "app/Unit1.h"
#include "tests/net/LoopResidue.h"

namespace ordwin {
namespace {

struct TBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon;
};

// Answers every message box as soon as it shows, and remembers what it said.
class TBoxAnswerer : public QObject {
public:
  TBoxAnswerer() { qApp->installEventFilter(this); }
  ~TBoxAnswerer() override { qApp->removeEventFilter(this); }
  QList<TBox> Boxes;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box != nullptr && event->type() == QEvent::Show) {
      Boxes.append({box->windowTitle(), box->text(), box->icon()});
      QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
    }
    return false;
  }
};

// Starts and stops in a shared journal, as the window's services will.
class TJournalService : public IFormService {
public:
  TJournalService(QString name, QStringList& journal) : name_(std::move(name)), journal_(journal) {}
  ~TJournalService() override { journal_.append("destroy " + name_); }
  void Start() override { journal_.append("start " + name_); }

private:
  QString name_;
  QStringList& journal_;
};

// The window and its form, made as the program makes them.
struct TRig {
  explicit TRig(int logLineLimit = kLogLineLimit, int logCharLimit = kLogCharLimit)
      : Window(logLineLimit, logCharLimit) {}
  void Create() {
    Form.Dispatch([this] { Form.FormCreate(); });
    Window.show();
  }
  TMainWindow Window;
  TForm1 Form{Window};
};

template <class TPredicate>
bool PumpUntil(TPredicate done) {
  QDeadlineTimer deadline(5000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  }
  return true;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

private:
  QString StoreFile() const { return settingsDir_->filePath("Malvory/RIDuziva.conf"); }
  void Store(const QByteArray& ini) {
    QDir().mkpath(settingsDir_->filePath("Malvory"));
    QFile file(StoreFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
  }
  QVariant Stored() const {
    QSettings settings("Malvory", "RIDuziva");
    return settings.value("ustawienia/adres");
  }
  QByteArray HostsFile() const {
    QFile file(hostsPath_);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
  }
  void WriteHostsFile(const QByteArray& text) {
    QFile file(hostsPath_);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
  }

  std::unique_ptr<QTemporaryDir> settingsDir_;
  QString hostsPath_;
  std::unique_ptr<TBoxAnswerer> boxes_;

private slots:
  void init() {
    settingsDir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(settingsDir_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_->path());
    hostsPath_ = settingsDir_->filePath("hosts");
    boxes_ = std::make_unique<TBoxAnswerer>();
  }

  void cleanup() {
    boxes_.reset();
    TEventLoop::Instance().ProcessMessages();  // drops what was still queued for the gone form
    QCOMPARE(QString::fromStdString(test::TLoopResidue::Now().Text()),
             QString::fromStdString(test::TLoopResidue{}.Text()));
  }

  void theControlsSitWhereTheyBelongWithTheirCaptionsAndFonts() {
    TRig rig;
    TMainWindow& w = rig.Window;
    QCOMPARE(w.windowTitle(), QString("Ordwin"));
    QCOMPARE(w.geometry(), QRect(534, 208, 737, 537));
    QCOMPARE(w.Label1->text(), QString("Nazwa serwera dla klientów"));
    QCOMPARE(w.Label1->pos(), QPoint(408, 8));
    QCOMPARE(w.Memo1->geometry(), QRect(24, 24, 377, 361));
    QCOMPARE(w.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(w.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QVERIFY(!w.Memo1->isReadOnly());
    QCOMPARE(w.AdresSerwisuEd->geometry(), QRect(408, 24, 193, 21));
    QCOMPARE(w.AdresSerwisuEd->text(), QString("localhost"));
    QCOMPARE(w.RichEdit1->geometry(), QRect(24, 392, 513, 89));
    QVERIFY(w.RichEdit1->isReadOnly());
    QVERIFY(w.RichEdit1->font().bold());
    QCOMPARE(w.RichEdit1->palette().color(QPalette::Text), QColor(Qt::blue));
    QCOMPARE(w.RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QCOMPARE(w.RichEdit1->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QCOMPARE(w.RadioGroup1->title(), QString("Modyfikacja pliku „hosts”"));
    QCOMPARE(w.RadioGroup1->geometry(), QRect(408, 56, 193, 129));
    const QStringList captions = {"Zostaw niezmieniony", "Ustaw wszystko", "Usuń wszystko", "Ustaw tylko reklamy"};
    QCOMPARE(w.RadioGroup1Items->buttons().size(), 4);
    for (int i = 0; i < 4; ++i) QCOMPARE(w.RadioGroup1Items->button(i)->text(), captions[i]);
    QCOMPARE(w.RadioGroup1Items->checkedId(), 0);

    QFontInfo font(w.font());
    QCOMPARE(font.family(), QString("DejaVu Sans"));
    QCOMPARE(font.pointSize(), 8);

    // Tab goes from box to box in the tab order, not into the text.
    rig.Create();
    w.Memo1->setFocus();
    QWidget* expected[] = {w.AdresSerwisuEd, w.RichEdit1, w.RadioGroup1Items->button(0)};
    for (QWidget* next : expected) {
      QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
      QCOMPARE(w.focusWidget(), next);
    }
    QCOMPARE(w.Memo1->toPlainText(), QString());
  }

  void aFirstStartShowsLocalhostAndCreatesTheStoreWithoutAValue() {
    TRig rig;
    rig.Create();
    QCOMPARE(rig.Window.AdresSerwisuEd->text(), QString("localhost"));
    QVERIFY(QFile::exists(StoreFile()));
    QVERIFY(!Stored().isValid());
    QVERIFY(rig.Form.ServicesStarted());
    QVERIFY(boxes_->Boxes.isEmpty());
  }

  void aStoredEmptyStringIsShownAsAnEmptyBox() {
    Store("[ustawienia]\nadres=\n");
    TRig rig;
    rig.Create();
    QCOMPARE(rig.Window.AdresSerwisuEd->text(), QString(""));
    QCOMPARE(Stored(), QVariant(QString("")));
    QVERIFY(rig.Window.RichEdit1->toPlainText().contains("stacji na \"\" by oryginalny"));
  }

  void everyKeystrokeWritesTheWholeTextAndItSurvivesARestart() {
    Store("[ustawienia]\nadres=\n");
    {
      TRig rig;
      rig.Create();
      const QString typed = "abc";
      for (int i = 0; i < typed.size(); ++i) {
        QTest::keyClick(rig.Window.AdresSerwisuEd, typed[i].toLatin1());
        QCOMPARE(Stored(), QVariant(typed.left(i + 1)));
      }
      QTest::keyClicks(rig.Window.AdresSerwisuEd, ", @");
      rig.Window.AdresSerwisuEd->insert("ł");  // as a paste would
      QTest::keyClicks(rig.Window.AdresSerwisuEd, ";# ");
    }
    TRig restarted;
    restarted.Create();
    QCOMPARE(restarted.Window.AdresSerwisuEd->text(), QString("abc, @ł;# "));
    QVERIFY(boxes_->Boxes.isEmpty());
  }

  void resizingChangesOnlyTheHintBoxWidth() {
    TRig rig;
    rig.Create();
    TMainWindow& w = rig.Window;
    QCOMPARE(w.RichEdit1->width(), 689);
    const QList<QWidget*> others = {w.Label1, w.Memo1, w.AdresSerwisuEd, w.RadioGroup1};
    QList<QRect> before;
    for (QWidget* c : others) before.append(c->geometry());
    w.resize(1000, 537);
    QCOMPARE(w.RichEdit1->geometry(), QRect(24, 392, 952, 89));
    for (int i = 0; i < others.size(); ++i) QCOMPARE(others[i]->geometry(), before[i]);
    w.resize(600, 400);
    QCOMPARE(w.RichEdit1->geometry(), QRect(24, 392, 552, 89));
  }

  void aValueThatIsNotTextStopsStartUpWithTheErrorBox_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::newRow("list") << QByteArray("[ustawienia]\nadres=a, b\n");
    QTest::newRow("bytes") << QByteArray("[ustawienia]\nadres=@ByteArray(10.0.0.1)\n");
    QTest::newRow("number") << QByteArray("[ustawienia]\nadres=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n");
  }
  void aValueThatIsNotTextStopsStartUpWithTheErrorBox() {
    QFETCH(QByteArray, ini);
    Store(ini);
    QStringList journal;
    TRig rig;
    rig.Form.AddService(std::make_unique<TJournalService>("http", journal));
    rig.Create();
    QCOMPARE(boxes_->Boxes.size(), 1);
    QCOMPARE(boxes_->Boxes[0].Title, QString("Ordwin"));
    QCOMPARE(boxes_->Boxes[0].Text, QString("Invalid data type for 'adres'."));
    QCOMPARE(boxes_->Boxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(rig.Window.AdresSerwisuEd->text(), QString("localhost"));
    QCOMPARE(rig.Window.RichEdit1->toPlainText(), QString());
    QVERIFY(journal.isEmpty());
    QVERIFY(rig.Window.isVisible());
  }

  void aStoreThatCannotBeCreatedShowsTheErrorBoxAndKeepsTheTypedText() {
    // The store's folder cannot be made: a file stands in its place.
    {
      QFile blocker(settingsDir_->filePath("Malvory"));
      QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    TRig rig;
    rig.Create();
    QVERIFY(boxes_->Boxes.isEmpty());  // reading falls back to "localhost" without a word
    QVERIFY(rig.Form.ServicesStarted());
    QTest::keyClick(rig.Window.AdresSerwisuEd, Qt::Key_Backspace);
    QCOMPARE(boxes_->Boxes.size(), 1);
    QCOMPARE(boxes_->Boxes[0].Title, QString("Ordwin"));
    QCOMPARE(boxes_->Boxes[0].Text, QString("Failed to create key ustawienia."));
    QCOMPARE(boxes_->Boxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(rig.Window.AdresSerwisuEd->text(), QString("localhos"));
  }

  void theStartUpHintsAndTheShutDownOrder() {
    QStringList journal;
    {
      TRig rig;
      rig.Form.AddService(std::make_unique<TJournalService>("http", journal));
      rig.Form.AddService(std::make_unique<TJournalService>("gg", journal));
      rig.Create();
      QCOMPARE(journal, QStringList({"start http", "start gg"}));
      QCOMPARE(QGuiApplication::applicationDisplayName(), QString("Ordwin"));
      const QString hints = rig.Window.RichEdit1->toPlainText();
      QCOMPARE(hints,
               QString("By korzystać z oryginalnego klienta GG, wpisz w używanym DNSie lub plikach \"hosts\" np. "
                       "\"127.0.0.1 appmsg.gadu-gadu.pl\". Ustaw także wartość "
                       "HKEY_CURRENT_USER\\Software\\Gadu-Gadu\\Gadu-Gadu\\Messenger\\ServerHost stacji na "
                       "\"localhost\" by oryginalny klient skorzystał z nowego serwera od razu.\n\n"
                       "Używając Kelvadra https://kelvadra.example/ możesz wybrać prawym klawiszem serwer "
                       "alternatywny."));
      QVERIFY(rig.Window.close());
      QVERIFY(!rig.Window.isVisible());
      QCOMPARE(journal.size(), 2);
    }
    QCOMPARE(journal, QStringList({"start http", "start gg", "destroy gg", "destroy http"}));
  }

  void theWarningBoxIsModalWithItsCaptionAndLineBreaks() {
    TRig rig;
    rig.Create();
    rig.Form.ShowMessageBox("Ostrzeżenie", "Nie udało się otworzyć portu 80 !\r\rNajprawdopodobniej");
    QCOMPARE(boxes_->Boxes.size(), 1);
    QCOMPARE(boxes_->Boxes[0].Title, QString("Ostrzeżenie"));
    QCOMPARE(boxes_->Boxes[0].Text, QString("Nie udało się otworzyć portu 80 !\n\nNajprawdopodobniej"));
  }

  void theHostsChoiceActsOnlyWhenTheSelectionChanges() {
    TRig rig;
    rig.Form.SetHostsFilePath(hostsPath_.toStdString());
    rig.Create();
    QButtonGroup* items = rig.Window.RadioGroup1Items;
    WriteHostsFile("127.0.0.1 localhost\n");

    QTest::mouseClick(items->button(1), Qt::LeftButton);
    const QByteArray all =
        "127.0.0.1 localhost\r\n127.0.0.1\tadserver.gadu-gadu.pl\r\n127.0.0.1\tappmsg.gadu-gadu.pl\r\n"
        "127.0.0.1\twww.gadu-gadu.pl\r\n127.0.0.1\tupdate.gadu-gadu.pl\r\n";
    QCOMPARE(HostsFile(), all);

    WriteHostsFile("edited by hand");
    QTest::mouseClick(items->button(1), Qt::LeftButton);
    QCOMPARE(HostsFile(), QByteArray("edited by hand"));
    QTest::mouseClick(items->button(0), Qt::LeftButton);
    QCOMPARE(HostsFile(), QByteArray("edited by hand"));
    QTest::mouseClick(items->button(1), Qt::LeftButton);
    QCOMPARE(HostsFile(), QByteArray("edited by hand\r\n") + all.mid(21));
    QTest::mouseClick(items->button(2), Qt::LeftButton);
    QCOMPARE(HostsFile(), QByteArray("edited by hand\r\n"));
    QVERIFY(boxes_->Boxes.isEmpty());

    QFile::remove(hostsPath_);
    QTest::mouseClick(items->button(3), Qt::LeftButton);
    QCOMPARE(boxes_->Boxes.size(), 1);
    QCOMPARE(boxes_->Boxes[0].Title, QString("Ordwin"));
    QCOMPARE(boxes_->Boxes[0].Text, "Cannot open file " + hostsPath_ + ".");
    QCOMPARE(items->checkedId(), 3);
    QCOMPARE(HostsFile(), QByteArray("<missing>"));
  }

  void logLinesReachMemo1ThroughTheLoopAndTheOldestGoFirst() {
    TRig rig(5);
    TQtLoopDriver driver;
    rig.Create();
    for (int i = 1; i <= 3; ++i) rig.Form.AppendLog("line " + std::to_string(i));
    rig.Form.AppendLog(
        "1 > \xA3\xF3"
        "d\xBC \x1B[31m\r\nnext");
    QVERIFY(PumpUntil([&] { return !rig.Window.Memo1->toPlainText().isEmpty(); }));
    QCOMPARE(rig.Window.Memo1->toPlainText(), QString("line 1\nline 2\nline 3\n1 > ŁódĽ \u241B[31m\u240D\u240Anext"));

    for (int i = 4; i <= 9; ++i) rig.Form.AppendLog("line " + std::to_string(i));
    QVERIFY(PumpUntil([&] { return rig.Window.Memo1->toPlainText().endsWith("line 9"); }));
    QCOMPARE(rig.Window.Memo1->blockCount(), 5);
    QCOMPARE(rig.Window.Memo1->toPlainText(), QString("line 5\nline 6\nline 7\nline 8\nline 9"));
  }

  void logLinesAreBoundedInCharactersTooAndTheOldestGoFirst() {
    // Each line and its end are 20 characters: five fill the log.
    TRig rig(1000, 100);
    TQtLoopDriver driver;
    rig.Create();
    QPlainTextEdit* memo = rig.Window.Memo1;
    auto line = [](int i) { return QString("line %1 ").arg(i, 2, 10, QChar('0')).leftJustified(19, QChar('.')); };
    auto lines = [&](int from, int to) {
      QStringList out;
      for (int i = from; i <= to; ++i) out.append(line(i));
      return out.join('\n');
    };
    auto append = [&](int from, int to) {
      for (int i = from; i <= to; ++i) rig.Form.AppendLog(line(i).toStdString());
      return PumpUntil([&] { return memo->toPlainText().endsWith(line(to)); });
    };

    for (int i = 1; i <= 8; ++i) {
      QVERIFY(append(i, i));
      QCOMPARE(memo->toPlainText(), lines(std::max(1, i - 4), i));
      QVERIFY(memo->document()->characterCount() <= 100);
    }
    // One turn's lines past the limit on their own: the newest of them, and nothing older.
    QVERIFY(append(21, 32));
    QCOMPARE(memo->toPlainText(), lines(28, 32));
    // A line longer than the whole limit stays, alone, until the next one comes.
    const std::string wide(150, 'w');
    rig.Form.AppendLog(wide);
    QVERIFY(PumpUntil([&] { return memo->toPlainText().endsWith('w'); }));
    QCOMPARE(memo->toPlainText(), QString::fromStdString(wide));
    QVERIFY(append(40, 40));
    QCOMPARE(memo->toPlainText(), line(40));
    QVERIFY(append(41, 43));
    QCOMPARE(memo->toPlainText(), lines(40, 43));
    // What left does not live on to be undone.
    QVERIFY(!memo->document()->isUndoRedoEnabled());
    QCOMPARE(memo->document()->availableUndoSteps(), 0);
  }

  void theWindowsOwnLimitsHoldAgainstLinesOfWholePayloads() {
    TRig rig;
    TQtLoopDriver driver;
    rig.Create();
    QTextDocument* log = rig.Window.Memo1->document();
    std::string payload;
    while (payload.size() < 65536) payload += " 4a 5b 6c";
    payload.resize(65536);
    for (int turn = 0; turn < 10; ++turn) {
      for (int i = 0; i < 30; ++i) rig.Form.AppendLog(std::to_string(turn * 30 + i) + payload);
      const QString newest = QString::number(turn * 30 + 29) + " ";
      QVERIFY(PumpUntil([&] { return log->lastBlock().text().startsWith(newest); }));
      QVERIFY(log->characterCount() <= kLogCharLimit);
    }
    // The characters, not the lines, decided; the lines kept are whole and the newest.
    QVERIFY(log->blockCount() < 300);
    QVERIFY(log->characterCount() > kLogCharLimit - 2 * 65536);
    const int first = 300 - log->blockCount();
    QCOMPARE(log->firstBlock().text(), QString::number(first) + QString::fromStdString(payload));
    QCOMPARE(log->lastBlock().text(), QString("299") + QString::fromStdString(payload));
  }

  void aPictureOfTheWindow() {
    TRig rig;
    TQtLoopDriver driver;
    rig.Create();
    // Lines as the GG session writes them, in Windows-1250.
    rig.Form.AppendLog(">powitanie");
    rig.Form.AppendLog(">logowanie u\xBFytkownika 1234");
    rig.Form.AppendLog("<u\xBFytkownik zalogowany");
    rig.Form.AppendLog(
        "1234>jestem dost\xEApny (paczka o d\xB3ugo\x9C"
        "ci 4)");
    QVERIFY(PumpUntil([&] { return rig.Window.Memo1->blockCount() == 4; }));
    const QString path = QString(ORDWIN_PICTURE_DIR) + "/ordwin-window.png";
    QVERIFY(rig.Window.grab().save(path));
    QVERIFY(QFile::exists(path));
  }
};

}  // namespace ordwin

int main(int argc, char** argv) {
  // Nothing a test does may reach the real home: the settings store lives under these.
  QTemporaryDir home;
  if (!home.isValid()) return 1;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ordwin::MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
