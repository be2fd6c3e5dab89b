// MainWindow: the monitor's one window, `Form1`, in Qt Widgets. It holds the
// roster's 111 rows (check box, address box, status label), the interval
// box, the three mail account boxes, the watchdog list, the buttons and the
// two indicators, each control's object name being its component name
// ("CheckBox5", "Edit122", "Label18", "ListBox1", "Button1").
//
// Layout (pixels, about 1140 by 870): a top strip with the interval caption,
// box and hint; a narrow left panel with the account boxes (caption left of
// the box), ListBox1, "Poll" and "Email" side by side and "Connect" below;
// to its right the roster in four columns of rows 24 pixels apart (rows
// 1-28, 29-55, 56-79, 80-111), all starting at the same height; Label18 in
// column 1 beside row 19, Label17 in column 2 beside row 49, Label110 "H"
// between columns 3 and 4 below the end of column 3. Button4 is hidden.
//
// Operator input is mirrored into the InputStore on every change (and the
// controls start from its values), so the monitor thread reads what the
// operator last entered without touching a widget.
//
// Every method runs on the GUI thread. The window never waits for the
// monitor: writes come to it as posted calls (window_view.h).
#ifndef TALLYVOX_UI_MAIN_WINDOW_H_
#define TALLYVOX_UI_MAIN_WINDOW_H_

#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "monitor/view.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;

namespace tallyvox::ui {

// The window's caption.
inline constexpr char kCaption[] = "Tallyvox 2.4 DBE - 6/24/2025";
// The title of every message box: the application's title.
inline constexpr char kBoxTitle[] = "Tallyvox";

enum class BoxKind { kMessage, kError };

class MainWindow : public QWidget {
 public:
  // `inputs` must outlive the window. `geometry_file` is the QSettings (INI)
  // file that remembers the window's geometry; empty means the user's
  // ($XDG_CONFIG_HOME/tallyvox/window.conf).
  explicit MainWindow(monitor::InputStore& inputs, QString geometry_file = QString());
  ~MainWindow() override;

  // The control named `name`, or null.
  QWidget* Control(const std::string& name) const;
  QLabel* Label(const std::string& name) const;
  QCheckBox* CheckBox(const std::string& name) const;
  QLineEdit* Edit(const std::string& name) const;
  QPushButton* Button(const std::string& name) const;
  QListWidget* ListBox1() const { return list_box_; }

  // ---- The view operations (unknown control names are ignored) ----
  void SetLabelText(const std::string& control, const QString& text);
  void SetLabelColour(const std::string& control, monitor::TColour colour);
  void RepaintLabel(const std::string& control);
  // Adds a line at the end; follows the end when it was in view.
  void AppendListLine(const std::string& control, const QString& line);
  void SetButtonCaption(const std::string& control, const QString& caption);
  // Opens a box with an OK button, titled kBoxTitle, without waiting;
  // `closed` runs once when the operator has closed it (or the box went with
  // the window). While a box is open the window takes no clicks and no keys
  // (a click beeps and raises the box), as with a window-modal box, but it
  // can still be moved, resized and closed: Qt holds back the close request
  // of a window that a modal box blocks, so the boxes are not modal in Qt's
  // sense. The text is plain text (Qt::PlainText), whatever it looks like.
  QMessageBox* OpenBox(BoxKind kind, const QString& text, std::function<void()> closed);
  int OpenBoxes() const { return open_boxes_; }
  // Sets the plain `text` as the control's tool tip: it shows literally, also
  // when it looks like HTML.
  void SetToolTip(const std::string& control, const QString& text);

  // Runs when the window is closed, after its geometry was saved.
  void OnClosed(std::function<void()> closed) { closed_ = std::move(closed); }
  // Runs the first time the window is shown.
  void OnShown(std::function<void()> shown) { shown_ = std::move(shown); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Holds back the window's input while a box is open.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildTopStrip(QWidget* form);
  void BuildLeftPanel(QWidget* form);
  void BuildRoster(QWidget* form);
  void BuildIndicators(QWidget* form);
  QLabel* AddLabel(QWidget* form, const char* name, const QString& text, const QRect& where);
  QCheckBox* AddCheckBox(QWidget* form, const std::string& name, const QRect& where);
  void Register(QWidget* control, const std::string& name);
  void SaveGeometry();
  void RestoreGeometry();

  monitor::InputStore& inputs_;
  QString geometry_file_;
  std::map<std::string, QWidget*> controls_;
  QListWidget* list_box_ = nullptr;
  std::function<void()> closed_;
  std::function<void()> shown_;
  bool shown_once_ = false;
  int open_boxes_ = 0;
};

}  // namespace tallyvox::ui

#endif  // TALLYVOX_UI_MAIN_WINDOW_H_
