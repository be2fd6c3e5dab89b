#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShowEvent>
#include <QTextDocument>
#include <QVBoxLayout>
#include <QWindow>
#include <memory>

#include "monitor/roster.h"

namespace tallyvox::ui {
namespace {

using monitor::Roster;
using monitor::ServerEntry;

// Geometry, in pixels.
constexpr int kWindowWidth = 1140;
constexpr int kWindowHeight = 870;
constexpr int kMargin = 8;
constexpr int kLineHeight = 21;  // every control of a row
constexpr int kRowPitch = 24;    // rows are this far apart
constexpr int kRowsTop = 40;     // the first row of every column, below the top strip
constexpr int kPanelWidth = 128;
constexpr int kBoxWidth = 16;  // a check box without caption
constexpr int kEditWidth = 100;
constexpr int kGap = 4;
constexpr int kColumnGap = 8;
constexpr int kPollWidth = 80;  // room for "Begin Polling"
constexpr int kButtonHeight = 25;
constexpr int kIndicatorWidth = 44;

// The four roster columns: their rows, the width of their status labels and
// the room after them (for Label18, Label17 and Label110).
struct Column {
  int first_row, last_row, label_width, room_after;
};
constexpr Column kColumns[] = {
    {1, 28, 100, kGap + kIndicatorWidth},
    {29, 55, 100, kGap + kIndicatorWidth},
    {56, 79, 90, 4},
    {80, 111, 90, 0},
};
constexpr int kColumnsLeft = kMargin + kPanelWidth + kMargin;

int ColumnLeft(int column) {
  int x = kColumnsLeft;
  for (int c = 0; c < column; ++c) {
    x += kBoxWidth + 2 + kEditWidth + kGap + kColumns[c].label_width + kColumns[c].room_after +
         kColumnGap;
  }
  return x;
}

int RowTop(int index_in_column) { return kRowsTop + index_in_column * kRowPitch; }

// The column of `row`, and its x just after the status label.
int ColumnOf(int row) {
  for (int c = 0; c < 4; ++c) {
    if (row <= kColumns[c].last_row) return c;
  }
  return 3;
}
int AfterLabel(int row) {
  const int c = ColumnOf(row);
  return ColumnLeft(c) + kBoxWidth + 2 + kEditWidth + kGap + kColumns[c].label_width;
}
int RowTopOf(int row) { return RowTop(row - kColumns[ColumnOf(row)].first_row); }

std::unique_ptr<QSettings> GeometrySettings(const QString& file) {
  if (file.isEmpty()) return std::make_unique<QSettings>("tallyvox", "window");
  return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

}  // namespace

MainWindow::MainWindow(monitor::InputStore& inputs, QString geometry_file)
    : inputs_(inputs), geometry_file_(std::move(geometry_file)) {
  setObjectName("Form1");
  setWindowTitle(kCaption);
  // 8-point sans-serif; a condensed face where there is one, so that a
  // status line's text with the time fits its fixed width.
  QFont font("DejaVu Sans Condensed");
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  setFont(font);

  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* form = new QWidget;
  form->setBackgroundRole(QPalette::Button);  // a plain button-face background
  form->setAutoFillBackground(true);
  BuildTopStrip(form);
  BuildLeftPanel(form);
  BuildRoster(form);
  BuildIndicators(form);
  const int last = kColumns[3].last_row - kColumns[3].first_row;
  form->setFixedSize(kWindowWidth, RowTop(last) + kLineHeight + kMargin);
  scroll->setWidget(form);
  scroll->setBackgroundRole(QPalette::Button);
  // A screen smaller than the form scrolls it.
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(scroll);

  resize(kWindowWidth, kWindowHeight);
  RestoreGeometry();
}

MainWindow::~MainWindow() = default;

void MainWindow::Register(QWidget* control, const std::string& name) {
  control->setObjectName(QString::fromStdString(name));
  controls_[name] = control;
}

QLabel* MainWindow::AddLabel(QWidget* form, const char* name, const QString& text,
                             const QRect& where) {
  auto* label = new QLabel(text, form);
  label->setGeometry(where);  // a fixed size: a longer text is cut, never wraps
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Register(label, name);
  return label;
}

QCheckBox* MainWindow::AddCheckBox(QWidget* form, const std::string& name, const QRect& where) {
  auto* box = new QCheckBox(form);
  box->setGeometry(where);
  box->setChecked(inputs_.Checked(name));
  Register(box, name);
  QObject::connect(box, &QCheckBox::toggled,
                   [this, name](bool checked) { inputs_.SetChecked(name, checked); });
  return box;
}

void MainWindow::BuildTopStrip(QWidget* form) {
  QLabel* caption =
      AddLabel(form, "Label122",
               "Timer Interval:", QRect(kMargin, kMargin, kPanelWidth - kGap, kLineHeight));
  caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont bold = caption->font();
  bold.setBold(true);
  caption->setFont(bold);

  auto* interval = new QLineEdit(form);
  interval->setGeometry(kColumnsLeft, kMargin, 80, kLineHeight);
  interval->setText(QString::fromStdString(inputs_.Text("Edit122")));
  Register(interval, "Edit122");
  QObject::connect(interval, &QLineEdit::textChanged,
                   [this](const QString& text) { inputs_.SetText("Edit122", text.toStdString()); });

  AddLabel(form, "Label13", "(60000 = 1 minute)",
           QRect(kColumnsLeft + 80 + 2 * kGap, kMargin, 160, kLineHeight));
}

void MainWindow::BuildLeftPanel(QWidget* form) {
  struct Account {
    const char* name;
    const char* caption;
  };
  constexpr Account kAccounts[] = {{"CheckBox108", "Use Quell.Brindle"},
                                   {"CheckBox109", "Use SorrelBrindle"},
                                   {"CheckBox114", "Use Erols"}};
  int y = kRowsTop;
  for (const Account& a : kAccounts) {
    QCheckBox* box = AddCheckBox(form, a.name, QRect(kMargin, y, kPanelWidth, kLineHeight));
    box->setText(a.caption);
    box->setLayoutDirection(Qt::RightToLeft);  // the caption left of the box
    y += kRowPitch;
  }

  // "Connect" ends level with the last row of column 4.
  const int last_row_top = RowTopOf(kColumns[3].last_row);
  const int connect_top = last_row_top + kLineHeight - kButtonHeight;
  const int poll_top = connect_top - kButtonHeight - kGap;

  list_box_ = new QListWidget(form);
  list_box_->setGeometry(kMargin, y + kGap, kPanelWidth, poll_top - kMargin - (y + kGap));
  Register(list_box_, "ListBox1");

  auto add_button = [&](const char* name, const char* caption, const QRect& where) {
    auto* button = new QPushButton(caption, form);
    button->setGeometry(where);
    button->setAutoDefault(false);
    Register(button, name);
    return button;
  };
  const int email_left = kMargin + kPollWidth + kGap;
  const int email_width = kPanelWidth - kPollWidth - kGap;
  add_button("Button1", "Poll", QRect(kMargin, poll_top, kPollWidth, kButtonHeight));
  add_button("Button3", "Email", QRect(email_left, poll_top, email_width, kButtonHeight));
  add_button("Button2", "Connect", QRect(kMargin, connect_top, kPollWidth, kButtonHeight));
  // A diagnostic command the operator cannot reach.
  add_button("Button4", "Button4", QRect(email_left, connect_top, email_width, kButtonHeight))
      ->hide();
}

void MainWindow::BuildRoster(QWidget* form) {
  for (const ServerEntry& e : Roster::Rows()) {
    const int c = ColumnOf(e.row);
    const int x = ColumnLeft(c);
    const int y = RowTopOf(e.row);
    AddCheckBox(form, e.check_box, QRect(x, y, kBoxWidth, kLineHeight));

    auto* edit = new QLineEdit(form);
    edit->setGeometry(x + kBoxWidth + 2, y, kEditWidth, kLineHeight);
    edit->setText(QString::fromStdString(inputs_.Text(e.edit)));
    Register(edit, e.edit);
    const std::string name = e.edit;
    QObject::connect(edit, &QLineEdit::textChanged, [this, name](const QString& text) {
      inputs_.SetText(name, text.toStdString());
    });

    AddLabel(form, e.label.c_str(), "Label1",
             QRect(x + kBoxWidth + 2 + kEditWidth + kGap, y, kColumns[c].label_width, kLineHeight));
    SetLabelColour(e.label, monitor::TColour::clBlack);
  }
}

void MainWindow::BuildIndicators(QWidget* form) {
  AddLabel(form, "Label18", "Gaming",
           QRect(AfterLabel(19) + kGap, RowTopOf(19), kIndicatorWidth, kLineHeight));
  AddLabel(form, "Label17", "Label17",
           QRect(AfterLabel(49) + kGap, RowTopOf(49), kIndicatorWidth, kLineHeight));
  // Below the end of column 3, in the room before column 4.
  const int below_column3 = RowTopOf(kColumns[2].last_row) + kRowPitch + kLineHeight;
  AddLabel(form, "Label110", "H",
           QRect(AfterLabel(kColumns[2].last_row), below_column3,
                 kColumns[2].room_after + kColumnGap, kLineHeight));
}

QWidget* MainWindow::Control(const std::string& name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

QLabel* MainWindow::Label(const std::string& name) const {
  return qobject_cast<QLabel*>(Control(name));
}
QCheckBox* MainWindow::CheckBox(const std::string& name) const {
  return qobject_cast<QCheckBox*>(Control(name));
}
QLineEdit* MainWindow::Edit(const std::string& name) const {
  return qobject_cast<QLineEdit*>(Control(name));
}
QPushButton* MainWindow::Button(const std::string& name) const {
  return qobject_cast<QPushButton*>(Control(name));
}

void MainWindow::SetLabelText(const std::string& control, const QString& text) {
  if (QLabel* label = Label(control)) label->setText(text);
}

void MainWindow::SetLabelColour(const std::string& control, monitor::TColour colour) {
  QLabel* label = Label(control);
  if (label == nullptr) return;
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText,
                   colour == monitor::TColour::clRed ? QColor(Qt::red) : QColor(Qt::black));
  label->setPalette(palette);
}

void MainWindow::RepaintLabel(const std::string& control) {
  if (QLabel* label = Label(control)) label->repaint();
}

void MainWindow::AppendListLine(const std::string& control, const QString& line) {
  auto* list = qobject_cast<QListWidget*>(Control(control));
  if (list == nullptr) return;
  QScrollBar* bar = list->verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  list->addItem(line);
  if (at_end) list->scrollToBottom();
}

void MainWindow::SetButtonCaption(const std::string& control, const QString& caption) {
  if (QPushButton* button = Button(control)) button->setText(caption);
}

void MainWindow::SetToolTip(const std::string& control, const QString& text) {
  // A tool tip whose first line looks like HTML (an address, a server's
  // reply) is shown as rich text, and a tool tip has no text format of its
  // own: such a text goes in as rich text that shows it literally.
  if (QWidget* widget = Control(control)) {
    widget->setToolTip(Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpacePre)
                                                 : text);
  }
}

QMessageBox* MainWindow::OpenBox(BoxKind kind, const QString& text, std::function<void()> closed) {
  auto* box = new QMessageBox(kind == BoxKind::kError ? QMessageBox::Critical : QMessageBox::NoIcon,
                              kBoxTitle, text, QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);  // a server's reply may look like HTML
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);  // a message box is modal unless told otherwise
  ++open_boxes_;
  QObject::connect(box, &QDialog::finished, this, [this] { --open_boxes_; });
  // Destroyed once closed, or with the window: either way the box is over.
  QObject::connect(box, &QObject::destroyed, [closed = std::move(closed)] {
    if (closed) closed();
  });
  box->show();
  box->raise();
  box->activateWindow();
  return box;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (open_boxes_ == 0 || watched != static_cast<QObject*>(windowHandle())) {
    return QWidget::eventFilter(watched, event);
  }
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      QApplication::beep();
      for (QMessageBox* box : findChildren<QMessageBox*>()) {
        box->raise();
        box->activateWindow();
      }
      return true;
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
      return true;
    default:
      return QWidget::eventFilter(watched, event);
  }
}

void MainWindow::SaveGeometry() {
  GeometrySettings(geometry_file_)->setValue("geometry", saveGeometry());
}

void MainWindow::RestoreGeometry() {
  const QByteArray saved = GeometrySettings(geometry_file_)->value("geometry").toByteArray();
  if (!saved.isEmpty()) restoreGeometry(saved);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  SaveGeometry();
  event->accept();
  if (closed_) closed_();
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  // Every input event of the window passes its QWindow first.
  windowHandle()->installEventFilter(this);
  if (shown_) shown_();
}

}  // namespace tallyvox::ui
