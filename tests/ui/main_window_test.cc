// The main window on its own: its controls found by their component names
// with the start values of the example settings, the layout's outline, the
// operator's input mirrored into the InputStore, the geometry remembered.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "config/settings_file.h"
#include "monitor/roster.h"
#include "support/support.h"
#include "ui/main_window.h"

namespace tallyvox::ui::testing {
namespace {

using monitor::InputStore;
using monitor::Roster;
using tallyvox::testing::SourceDir;
using tallyvox::testing::TempDir;

// The example settings hold the window's start values.
class ExampleWindowTest : public ::testing::Test {
 protected:
  ExampleWindowTest() {
    monitor::FillInputs(monitor::LoadSettings(SourceDir() + "/tallyvox.example.toml"), inputs_);
  }
  InputStore inputs_;
  TempDir dir_;
};

QRect Geometry(const MainWindow& w, const std::string& name) {
  QWidget* c = w.Control(name);
  return c == nullptr ? QRect() : QRect(c->mapTo(&w, QPoint(0, 0)), c->size());
}

TEST_F(ExampleWindowTest, EveryControlHasItsNameAndStartValue) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.windowTitle(), "Tallyvox 2.4 DBE - 6/24/2025");
  EXPECT_EQ(w.objectName(), "Form1");

  const std::set<int> unticked = {1,  2,  3,  6,  7,  8,  9,  11, 12, 13, 14, 18, 37, 43,  45,
                                  50, 70, 73, 80, 81, 82, 84, 85, 86, 88, 89, 90, 91, 103, 106};
  const std::set<int> empty = {14, 43, 50, 73, 91};
  int ticked = 0;
  for (const monitor::ServerEntry& e : Roster::Rows()) {
    SCOPED_TRACE("row " + std::to_string(e.row));
    auto* box = w.findChild<QCheckBox*>(QString::fromStdString(e.check_box));
    auto* edit = w.findChild<QLineEdit*>(QString::fromStdString(e.edit));
    auto* label = w.findChild<QLabel*>(QString::fromStdString(e.label));
    ASSERT_NE(box, nullptr);
    ASSERT_NE(edit, nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(box->text().isEmpty());
    EXPECT_EQ(box->isChecked(), unticked.count(e.row) == 0);
    ticked += box->isChecked();
    EXPECT_EQ(edit->text().isEmpty(), empty.count(e.row) == 1) << edit->text().toStdString();
    EXPECT_EQ(label->text(), "Label1");
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_FALSE(label->wordWrap());
  }
  EXPECT_EQ(ticked, 81);

  // Every other control: its kind, start text, and whether it shows.
  struct Expected {
    const char* name;
    const char* kind;
    const char* text;
    bool checked;
    bool visible;
  };
  const Expected controls[] = {
      {"Label122", "QLabel", "Timer Interval:", false, true},
      {"Edit122", "QLineEdit", "60000", false, true},
      {"Label13", "QLabel", "(60000 = 1 minute)", false, true},
      {"Button4", "QPushButton", "Button4", false, false},
      {"CheckBox108", "QCheckBox", "Use Quell.Brindle", false, true},
      {"CheckBox109", "QCheckBox", "Use SorrelBrindle", false, true},
      {"CheckBox114", "QCheckBox", "Use Erols", true, true},
      {"ListBox1", "QListWidget", "", false, true},
      {"Button1", "QPushButton", "Poll", false, true},
      {"Button3", "QPushButton", "Email", false, true},
      {"Button2", "QPushButton", "Connect", false, true},
      {"Label17", "QLabel", "Label17", false, true},
      {"Label18", "QLabel", "Gaming", false, true},
      {"Label110", "QLabel", "H", false, true},
  };
  for (const Expected& x : controls) {
    SCOPED_TRACE(x.name);
    QWidget* c = w.findChild<QWidget*>(x.name);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->metaObject()->className(), x.kind);
    EXPECT_EQ(c->isVisible(), x.visible);
    QString text;
    if (auto* label = qobject_cast<QLabel*>(c)) text = label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(c)) text = edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(c)) text = button->text();
    EXPECT_EQ(text, x.text);
    if (auto* box = qobject_cast<QCheckBox*>(c)) {
      EXPECT_EQ(box->isChecked(), x.checked);
      EXPECT_EQ(box->layoutDirection(), Qt::RightToLeft);  // the caption left of the box
    }
  }
  EXPECT_EQ(w.ListBox1()->count(), 0);
  EXPECT_TRUE(w.Label("Label122")->font().bold());
  EXPECT_TRUE(w.Label("Label122")->alignment() & Qt::AlignRight);
  EXPECT_EQ(w.font().pointSize(), 8);
}

// The four roster columns: their first rows' check boxes, left to right.
constexpr int kColumnFirstRows[4] = {1, 29, 56, 80};

// Where each roster column starts, left to right.
std::array<int, 4> ColumnLefts(MainWindow& w) {
  std::array<int, 4> lefts{};
  for (int c = 0; c < 4; ++c)
    lefts[c] = Geometry(w, Roster::Row(kColumnFirstRows[c]).check_box).left();
  return lefts;
}

TEST_F(ExampleWindowTest, LayoutHasItsSizeAndFourColumnsOfRows) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_NEAR(w.width(), 1140, 60);
  EXPECT_NEAR(w.height(), 870, 45);

  // Four columns of rows 24 pixels apart, each starting at the same height.
  struct Column {
    int first, last, label_width;
  };
  const Column columns[] = {{1, 28, 100}, {29, 55, 100}, {56, 79, 90}, {80, 111, 90}};
  const int top = Geometry(w, Roster::Row(1).check_box).top();
  int previous_right = 0;
  for (int c = 0; c < 4; ++c) {
    SCOPED_TRACE("column " + std::to_string(c + 1));
    const QRect first = Geometry(w, Roster::Row(columns[c].first).check_box);
    EXPECT_EQ(first.top(), top);
    EXPECT_GT(first.left(), previous_right);
    for (int row = columns[c].first; row <= columns[c].last; ++row) {
      const monitor::ServerEntry& e = Roster::Row(row);
      const QRect box = Geometry(w, e.check_box);
      const QRect edit = Geometry(w, e.edit);
      const QRect label = Geometry(w, e.label);
      EXPECT_EQ(box.left(), first.left()) << row;
      EXPECT_EQ(box.top(), top + 24 * (row - columns[c].first)) << row;
      EXPECT_EQ(edit.top(), box.top()) << row;
      EXPECT_EQ(label.top(), box.top()) << row;
      EXPECT_LT(box.right(), edit.left()) << row;  // box, address, status, left to right
      EXPECT_LT(edit.right(), label.left()) << row;
      EXPECT_NEAR(edit.width(), 100, 10) << row;
      EXPECT_EQ(label.width(), columns[c].label_width) << row;
      previous_right = std::max(previous_right, label.right());
    }
  }
  const int column4_bottom = Geometry(w, Roster::Row(111).label).bottom();
  for (int last : {28, 55, 79})
    EXPECT_LT(Geometry(w, Roster::Row(last).label).bottom(), column4_bottom);
}

TEST_F(ExampleWindowTest, LayoutHasTheTopStripAndTheLeftPanelBesideTheRows) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const int top = Geometry(w, Roster::Row(1).check_box).top();
  const std::array<int, 4> column_left = ColumnLefts(w);

  // The top strip above the rows, left to right.
  const QRect caption = Geometry(w, "Label122");
  const QRect interval = Geometry(w, "Edit122");
  const QRect hint = Geometry(w, "Label13");
  for (const QRect& r : {caption, interval, hint}) EXPECT_LT(r.bottom(), top);
  EXPECT_LT(caption.right(), interval.left());
  EXPECT_LT(interval.right(), hint.left());

  // The left panel, top to bottom: account boxes, the list, Poll and Email
  // side by side, Connect below.
  const QRect list = Geometry(w, "ListBox1");
  const QRect poll = Geometry(w, "Button1");
  const QRect email = Geometry(w, "Button3");
  const QRect connect = Geometry(w, "Button2");
  int y = 0;
  for (const char* name : {"CheckBox108", "CheckBox109", "CheckBox114"}) {
    const QRect r = Geometry(w, name);
    EXPECT_GT(r.top(), y) << name;
    EXPECT_LT(r.right(), column_left[0]) << name;
    y = r.bottom();
  }
  EXPECT_GT(list.top(), y);
  EXPECT_GT(list.height(), (connect.bottom() - top) / 2);  // most of the panel's height
  EXPECT_LT(list.bottom(), poll.top());
  EXPECT_EQ(poll.top(), email.top());
  EXPECT_LT(poll.right(), email.left());
  EXPECT_GT(connect.top(), poll.bottom());
  EXPECT_LT(std::max(email.right(), list.right()), column_left[0]);
}

TEST_F(ExampleWindowTest, LayoutPlacesTheIndicatorsAndOverlapsNothing) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const std::array<int, 4> column_left = ColumnLefts(w);

  // The indicators: Label18 in column 1 near row 19, Label17 in column 2 near
  // row 49, Label110 between columns 3 and 4 below the end of column 3.
  const QRect label18 = Geometry(w, "Label18");
  EXPECT_GE(label18.left(), column_left[0]);
  EXPECT_LT(label18.right(), column_left[1]);
  EXPECT_EQ(label18.top(), Geometry(w, Roster::Row(19).label).top());
  const QRect label17 = Geometry(w, "Label17");
  EXPECT_GE(label17.left(), column_left[1]);
  EXPECT_LT(label17.right(), column_left[2]);
  EXPECT_EQ(label17.top(), Geometry(w, Roster::Row(49).label).top());
  const QRect label110 = Geometry(w, "Label110");
  EXPECT_GT(label110.left(), Geometry(w, Roster::Row(79).label).right());
  EXPECT_LE(label110.right(), column_left[3]);
  EXPECT_GT(label110.top(), Geometry(w, Roster::Row(79).label).bottom());

  // No two controls that show overlap.
  std::vector<std::pair<QString, QRect>> shown;
  for (QWidget* c : w.findChildren<QWidget*>()) {
    if (c->isVisible() && c->objectName().contains(QRegularExpression("^(Label|Edit|CheckBox|"
                                                                      "Button|ListBox)[0-9]+$"))) {
      shown.emplace_back(c->objectName(), Geometry(w, c->objectName().toStdString()));
    }
  }
  EXPECT_EQ(shown.size(), 3u * 111 + 13);
  for (size_t i = 0; i < shown.size(); ++i) {
    for (size_t j = i + 1; j < shown.size(); ++j) {
      EXPECT_FALSE(shown[i].second.intersects(shown[j].second))
          << shown[i].first.toStdString() << " and " << shown[j].first.toStdString();
    }
  }
}

// The texts the monitor writes fit their controls (labels do not grow).
TEST_F(ExampleWindowTest, TheMonitorsTextsFitTheirControls) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  struct Fit {
    const char* control;
    const char* text;
    int padding;  // a button's frame and margins
  };
  const Fit fits[] = {
      {"Label5", "Problem 23:59:59", 0},         // rows 1-12, 100 pixels
      {"Label5", "Checking...23:59:59", 0},      // (in the 90 pixels of columns 3 and 4 it loses
      {"Label60", "Problem", 0},                 // its last digit while the probe runs)
      {"Label60", "OK 2147483647", 0},           //
      {"Label18", "Problem", 0},                 //
      {"Button1", "Begin Polling", 12},          //
      {"Button1", "Stop Polling", 12},           //
      {"CheckBox108", "Use Quell.Brindle", 24},  // with its box
  };
  for (const Fit& f : fits) {
    QWidget* c = w.Control(f.control);
    ASSERT_NE(c, nullptr) << f.control;
    EXPECT_LE(QFontMetrics(c->font()).horizontalAdvance(f.text) + f.padding, c->width())
        << f.control << " \"" << f.text << "\"";
  }
}

TEST_F(ExampleWindowTest, OperatorInputReachesTheInputStoreAtOnce) {
  MainWindow w(inputs_, QString::fromStdString(dir_.File("window.ini")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const monitor::ServerEntry& row4 = Roster::Row(4);  // ticked at start
  ASSERT_TRUE(inputs_.Checked(row4.check_box));
  QTest::mouseClick(w.CheckBox(row4.check_box), Qt::LeftButton, Qt::KeyboardModifiers(),
                    QPoint(8, w.CheckBox(row4.check_box)->height() / 2));
  EXPECT_FALSE(inputs_.Checked(row4.check_box));
  QTest::mouseClick(
      w.CheckBox("CheckBox108"), Qt::LeftButton, Qt::KeyboardModifiers(),
      QPoint(w.CheckBox("CheckBox108")->width() - 8, w.CheckBox("CheckBox108")->height() / 2));
  EXPECT_TRUE(inputs_.Checked("CheckBox108"));

  QLineEdit* edit = w.Edit(row4.edit);
  edit->selectAll();
  QTest::keyClicks(edit, "10.1.2.3");
  EXPECT_EQ(inputs_.Text(row4.edit), "10.1.2.3");
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(inputs_.Text(row4.edit), "10.1.2.");
  w.Edit("Edit122")->selectAll();
  QTest::keyClicks(w.Edit("Edit122"), " $EA60");
  EXPECT_EQ(inputs_.Text("Edit122"), " $EA60");
}

TEST_F(ExampleWindowTest, GeometryIsRememberedBetweenRuns) {
  const QString file = QString::fromStdString(dir_.File("window.ini"));
  {
    MainWindow w(inputs_, file);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.setGeometry(40, 30, 900, 640);
    QTest::qWait(50);
    w.close();
  }
  MainWindow again(inputs_, file);
  EXPECT_EQ(again.size(), QSize(900, 640));
  EXPECT_EQ(again.pos(), QPoint(40, 30));

  MainWindow fresh(inputs_, QString::fromStdString(dir_.File("other.ini")));
  EXPECT_EQ(fresh.size(), QSize(1140, 870));
}

}  // namespace
}  // namespace tallyvox::ui::testing
