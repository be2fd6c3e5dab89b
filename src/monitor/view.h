// The view seam: the operations through which the monitor reaches its main
// window, with controls addressed by their component names ("CheckBox5",
// "Edit122", "Label18", "ListBox1", "Button1"). The Qt window, the console of
// `tallyvox --headless` and the tests' recording view implement it.
//
// Every operation is called on the monitor's thread. Reads never wait for
// another thread: a front end mirrors the operator's input into an
// InputStore, which the view reads. Writes may be posted to another thread as
// long as their order is kept.
//
// ShowMessage and ShowErrorBox are modal: they return when the operator has
// closed the box. While a box is open the monitor's timers keep ticking (a
// view runs a nested event loop for the wait, see stop.h's ModalLoop). A view
// without an operator returns at once.
#ifndef TALLYVOX_MONITOR_VIEW_H_
#define TALLYVOX_MONITOR_VIEW_H_

#include <map>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
namespace tallyvox::monitor {

enum class TColour { clBlack, clRed };

// A roster row's status line as the monitor names it when it writes it: the
// row (1..111), its label's component name and the address the row is
// probed at. Front ends that show rows by number (the console) take the row
// from here instead of mapping label names back to rows.
struct RowRef {
  int row = 0;
  std::string label;
  std::string address;
};

const char* ColourName(TColour colour);  // "black", "red"

class View {
 public:
  virtual ~View() = default;

  // Current ticked state of a check box.
  virtual bool CheckBoxChecked(const std::string& control) = 0;
  // Current text of an edit box, unchanged.
  virtual std::string EditText(const std::string& control) = 0;
  // Replaces a label's text; painted at the next repaint.
  virtual void SetLabelText(const std::string& control, const std::string& text) = 0;
  virtual void SetLabelColour(const std::string& control, TColour colour) = 0;
  // Shows the label's current text and colour before the call returns.
  virtual void RepaintLabel(const std::string& control) = 0;
  // A roster row's status line: its text and colour. By default the row's
  // label (SetLabelText, SetLabelColour).
  virtual void SetRowText(const RowRef& row, const std::string& text) {
    SetLabelText(row.label, text);
  }
  virtual void SetRowColour(const RowRef& row, TColour colour) {
    SetLabelColour(row.label, colour);
  }
  // Adds a line at the end of a list box; no limit.
  virtual void AppendListLine(const std::string& control, const std::string& line) = 0;
  virtual void SetButtonCaption(const std::string& control, const std::string& caption) = 0;
  // A modal message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // The application's default exception handler's modal error box, titled
  // with the application's title. `text` is already ErrorBoxText(message).
  virtual void ShowErrorBox(const std::string& text) = 0;
  // The system's default alert sound, asynchronous.
  virtual void Beep() = 0;
};

// The text of the default exception handler's box: the exception's message
// with a full stop added when its last character sorts after ".".
std::string ErrorBoxText(const std::string& message);

// Check states and edit texts by control name, shared between the front end
// (which writes what the operator enters) and the monitor thread (which
// reads). Invariant: a read returns the last value written before it.
// Thread-safe.
class InputStore {
 public:
  void SetChecked(const std::string& control, bool checked);
  void SetText(const std::string& control, const std::string& text);
  // Unknown controls read as unticked and empty.
  bool Checked(const std::string& control) const;
  std::string Text(const std::string& control) const;

 private:
  mutable Mutex mu_;
  std::map<std::string, bool> checked_ GUARDED_BY(mu_);
  std::map<std::string, std::string> texts_ GUARDED_BY(mu_);
};

// A view whose reads come from an InputStore; front ends derive from it.
class StoreView : public View {
 public:
  explicit StoreView(InputStore& inputs) : inputs_(inputs) {}
  bool CheckBoxChecked(const std::string& control) override { return inputs_.Checked(control); }
  std::string EditText(const std::string& control) override { return inputs_.Text(control); }
  InputStore& Inputs() { return inputs_; }

 private:
  InputStore& inputs_;
};

// A view nobody sees: reads come from the InputStore, writes are dropped and
// boxes return at once (the stall guard's mail, benchmarks, tests).
class SilentView : public StoreView {
 public:
  using StoreView::StoreView;
  void SetLabelText(const std::string&, const std::string&) override {}
  void SetLabelColour(const std::string&, TColour) override {}
  void RepaintLabel(const std::string&) override {}
  void AppendListLine(const std::string&, const std::string&) override {}
  void SetButtonCaption(const std::string&, const std::string&) override {}
  void ShowMessage(const std::string&) override {}
  void ShowErrorBox(const std::string&) override {}
  void Beep() override {}
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_VIEW_H_
