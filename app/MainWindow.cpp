#include "app/MainWindow.h"

#include <algorithm>

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "app/Unit1.h"

namespace ordwin {

namespace {

// The window was drawn for "MS Sans Serif" at 8 points, which Linux does not ship.
QFont FormFont() {
  QFont font;
  font.setFamilies({"MS Sans Serif", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A CR (alone or before LF) starts a new line in a box: the texts part their sentences so.
QString BoxText(const std::string& text) {
  QString box = FromUtf8(text);
  box.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  box.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return box;
}

}  // namespace

TMainWindow::TMainWindow(int logLineLimit, int logCharLimit) : logCharLimit_(logCharLimit) {
  BuildControls(logLineLimit);
  WireEvents();
}

TMainWindow::~TMainWindow() {
  // The controls go after this body; no event of theirs may reach a form from here on.
  form_ = nullptr;
}

void TMainWindow::BuildControls(int logLineLimit) {
  setObjectName("Form1");
  setWindowTitle(TForm1::kCaption);
  setFont(FormFont());
  move(534, 208);
  resize(737, 537);

  Label1 = new QLabel(QString::fromUtf8("Nazwa serwera dla klientów"), this);
  Label1->setObjectName("Label1");
  // The label sizes itself to its caption: the fallback font is wider than the one it was laid
  // out for.
  Label1->setGeometry(408, 8, std::max(132, Label1->sizeHint().width()), 13);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setGeometry(24, 24, 377, 361);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setMaximumBlockCount(logLineLimit);
  // Lines that leave would otherwise live on in the undo history.
  Memo1->setUndoRedoEnabled(false);
  Memo1->setTabChangesFocus(true);

  AdresSerwisuEd = new QLineEdit(QString::fromUtf8(kInitialAddressText), this);
  AdresSerwisuEd->setObjectName("AdresSerwisuEd");
  AdresSerwisuEd->setGeometry(408, 24, 193, 21);

  RichEdit1 = new QPlainTextEdit(this);
  RichEdit1->setObjectName("RichEdit1");
  RichEdit1->setGeometry(24, 392, 513, 89);
  RichEdit1->setReadOnly(true);
  RichEdit1->setTabChangesFocus(true);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  QFont hintFont = FormFont();
  hintFont.setBold(true);
  RichEdit1->setFont(hintFont);
  QPalette hintPalette = RichEdit1->palette();
  hintPalette.setColor(QPalette::Text, Qt::blue);
  RichEdit1->setPalette(hintPalette);

  RadioGroup1 = new QGroupBox(QString::fromUtf8("Modyfikacja pliku „hosts”"), this);
  RadioGroup1->setObjectName("RadioGroup1");
  RadioGroup1->setGeometry(408, 56, 193, 129);
  RadioGroup1Items = new QButtonGroup(RadioGroup1);
  auto* items = new QVBoxLayout(RadioGroup1);
  const char* captions[] = {"Zostaw niezmieniony", "Ustaw wszystko", "Usuń wszystko", "Ustaw tylko reklamy"};
  for (int i = 0; i < 4; ++i) {
    auto* item = new QRadioButton(QString::fromUtf8(captions[i]), RadioGroup1);
    item->setObjectName(QString("RadioGroup1Item%1").arg(i));
    items->addWidget(item);
    RadioGroup1Items->addButton(item, i);
  }
  RadioGroup1Items->button(0)->setChecked(true);

  setTabOrder(Memo1, AdresSerwisuEd);
  setTabOrder(AdresSerwisuEd, RichEdit1);
  setTabOrder(RichEdit1, RadioGroup1Items->button(0));
}

void TMainWindow::WireEvents() {
  connect(AdresSerwisuEd, &QLineEdit::textChanged, this, [this] { Raise(&TForm1::AdresSerwisuEdChange); });
  // Toggling reports the item left as well as the item chosen, and clicking the chosen item
  // reports nothing: acting on the newly checked item runs the handler once per change.
  connect(RadioGroup1Items, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) Raise(&TForm1::RadioGroup1Click);
  });
}

void TMainWindow::Raise(void (TForm1::*handler)()) {
  if (form_ == nullptr) return;
  TForm1* form = form_;
  form->Dispatch([form, handler] { (form->*handler)(); });
}

void TMainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Raise(&TForm1::FormResize);
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  if (form_ != nullptr) {
    TForm1* form = form_;
    form->Dispatch([form, &canClose] { form->FormCloseQuery(canClose); });
  }
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TMainWindow::Attach(TForm1* form) { form_ = form; }

void TMainWindow::SetApplicationTitle(const std::string& title) {
  title_ = FromUtf8(title);
  QGuiApplication::setApplicationDisplayName(title_);
}

std::string TMainWindow::AdresSerwisuText() const { return AdresSerwisuEd->text().toStdString(); }

void TMainWindow::SetAdresSerwisuText(const std::string& text) {
  QSignalBlocker quiet(AdresSerwisuEd);
  AdresSerwisuEd->setText(FromUtf8(text));
}

void TMainWindow::AppendLog(std::string_view lines) {
  QString text = FromUtf8(lines);
  if (text.size() >= logCharLimit_) {
    // Lines that would leave at once never go in.
    qsizetype cut = text.indexOf(QLatin1Char('\n'), text.size() - logCharLimit_);
    if (cut < 0) cut = text.lastIndexOf(QLatin1Char('\n'));
    if (cut >= 0) text.remove(0, cut + 1);
  }
  Memo1->appendPlainText(text);
  TrimLog();
}

void TMainWindow::TrimLog() {
  QTextDocument* log = Memo1->document();
  int excess = log->characterCount() - logCharLimit_;
  if (excess <= 0) return;
  // Walks only the lines that leave; one removal takes them all.
  QTextBlock first = log->begin();
  const QTextBlock last = log->lastBlock();
  while (excess > 0 && first != last) {
    excess -= first.length();
    first = first.next();
  }
  QTextCursor cursor(log);
  cursor.setPosition(first.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void TMainWindow::AppendHint(const std::string& line) { RichEdit1->appendPlainText(FromUtf8(line)); }

int TMainWindow::FormWidth() const { return width(); }

int TMainWindow::HintBoxLeft() const { return RichEdit1->x(); }

void TMainWindow::SetHintBoxWidth(int width) { RichEdit1->resize(width, RichEdit1->height()); }

int TMainWindow::RadioGroup1ItemIndex() const { return RadioGroup1Items->checkedId(); }

void TMainWindow::ShowMessageBox(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::Warning, FromUtf8(caption), BoxText(text), QMessageBox::Ok, this);
  box.exec();
}

void TMainWindow::ShowErrorBox(const std::string& text) {
  QString title = title_.isEmpty() ? QGuiApplication::applicationDisplayName() : title_;
  QMessageBox box(QMessageBox::Critical, title, BoxText(text), QMessageBox::Ok, this);
  box.exec();
}

}  // namespace ordwin
