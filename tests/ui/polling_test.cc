// The window with its monitor running against real peers, pressed and typed
// into as an operator does: Button1's captions, a cycle's status lines in
// their colours and tool tips, a message box for an alert that cannot be
// delivered, the watchdog's lines, the error box for a bad interval, an
// address edited while polling.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTextDocument>
#include <cstdio>
#include <string>

#include "monitor/time_text.h"
#include "ui/window_fixture.h"
#include "ui/window_view.h"

namespace tallyvox::ui::testing {
namespace {

using tallyvox::testing::RefusingPort;

const QRegularExpression kTime("^\\d\\d:\\d\\d:\\d\\d$");

TEST_F(WindowTest, ACycleShowsEachOutcomeInItsColourAndButton1TogglesItsCaption) {
  MwServerProcess servers({"--listen", "127.0.30.1-127.0.30.2:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  // The roster has one probe port: the slow server takes the port the others
  // got, on an address of its own.
  const int port = servers.port();
  MwServerProcess slow({"--delay", "1500", "--listen", "127.0.30.3:" + std::to_string(port)});
  ASSERT_TRUE(slow.ready()) << slow.Output();
  Settings s = BaseSettings(port);
  s.roster[1] = {"127.0.30.1", true};    // row 2: answers
  s.roster[2] = {"127.0.30.3", true};    // row 3: answers after 1.5 s
  s.roster[4] = {"127.0.31.5", true};    // row 5: refused, "Problem " and the time
  s.roster[12] = {"127.0.31.13", true};  // row 13 (Label14): refused, "Problem"
  s.roster[27] = {"127.0.30.2", true};   // rows 28 and 108 share one counter
  s.roster[107] = {"127.0.30.2", true};
  Open(s);
  ColourChanges row3(Label("Label3"));
  Click("Button1");
  EXPECT_TRUE(WaitFor([&] { return window().Button("Button1")->text() == "Stop Polling"; }));

  // While row 3's probe waits: "Checking..." and the time. The line was red
  // while the probe was aimed and is black from the audit write on.
  EXPECT_TRUE(WaitFor([&] { return Text("Label3").startsWith("Checking..."); }));
  EXPECT_TRUE(kTime.match(Text("Label3").mid(11)).hasMatch()) << Text("Label3").toStdString();
  ASSERT_TRUE(WaitForCycles(1));
  ASSERT_EQ(row3.changes.size(), 2u);
  EXPECT_EQ(row3.changes[0], std::make_pair(QColor(Qt::red), QString("Label1")));
  EXPECT_EQ(row3.changes[1].first, QColor(Qt::black));
  EXPECT_TRUE(row3.changes[1].second.startsWith("Checking..."));

  struct Line {
    const char* label;
    const char* text;  // a regular expression
  };
  const Line lines[] = {
      {"Label2", "^OK 1$"},
      {"Label3", "^OK 1$"},
      {"Label4", "^Label1$"},  // unticked: unchanged
      {"Label5", "^Problem \\d\\d:\\d\\d:\\d\\d$"},
      {"Label14", "^Problem$"},
      {"Label111", "^OK 1$"},
      {"Label112", "^OK 2$"},
      {"Label18", "^Problem$"},
  };
  for (const Line& l : lines) {
    EXPECT_TRUE(QRegularExpression(l.text).match(Text(l.label)).hasMatch())
        << l.label << ": " << Text(l.label).toStdString();
    EXPECT_EQ(TextColour(Label(l.label)), QColor(Qt::black)) << l.label;
  }
  // The tool tips say when each probe started, how long it took, and why it
  // failed.
  const QString failed = Label("Label5")->toolTip();
  EXPECT_TRUE(failed.contains("127.0.31.5")) << failed.toStdString();
  EXPECT_TRUE(failed.contains("Last probe started ")) << failed.toStdString();
  EXPECT_TRUE(failed.contains("\nFailed: Connection lost. (")) << failed.toStdString();
  EXPECT_TRUE(failed.contains("refused")) << failed.toStdString();
  const QString ok = Label("Label3")->toolTip();
  EXPECT_TRUE(QRegularExpression("took 1\\.\\d\\d\\d s").match(ok).hasMatch()) << ok.toStdString();
  EXPECT_FALSE(ok.contains("Failed")) << ok.toStdString();
  EXPECT_TRUE(Label("Label4")->toolTip().isEmpty());

  // Stopping runs one last cycle, with the counters started afresh.
  Click("Button1");
  EXPECT_TRUE(WaitFor([&] { return window().Button("Button1")->text() == "Begin Polling"; }));
  ASSERT_TRUE(WaitForCycles(2));
  EXPECT_EQ(Text("Label2"), "OK 1");
  Click("Button1");
  EXPECT_TRUE(WaitFor([&] { return window().Button("Button1")->text() == "Stop Polling"; }));
}

// The monitor waits in the box (the next row is not probed) while the GUI
// thread goes on handling events; closing the box lets the cycle go on.
TEST_F(WindowTest, AnAlertThatCannotBeDeliveredWaitsInAMessageBoxWhileTheGuiStaysResponsive) {
  MwServerProcess servers({"--listen", "127.0.30.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  RefusingPort no_mail("127.0.0.1");
  Settings s = BaseSettings(servers.port());
  s.mail.port = no_mail.port();
  s.roster[1] = {"127.0.31.2", true};  // row 2: refused, so an alert
  s.roster[2] = {"127.0.30.1", true};  // row 3: answers
  Open(s);
  window().Edit("Edit122")->setFocus();
  Click("Button1");
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) != nullptr; }));
  QMessageBox* box = OpenBox(window());
  EXPECT_EQ(box->windowTitle(), "Tallyvox");
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
  EXPECT_FALSE(box->text().isEmpty());
  // The window takes no clicks and no keys while the box is open.
  ClickOnWindow("Button1");
  QTest::keyClick(window().windowHandle(), Qt::Key_1);

  const auto delay = LongestPostedEventDelay(&window());
  std::printf("[ measured ] message box open: posted event handled within %lld ms\n",
              static_cast<long long>(delay.count()));
  EXPECT_LT(delay, 100ms);
  QTest::qWait(300);
  EXPECT_EQ(Text("Label3"), "Label1");  // the monitor still waits for the box
  EXPECT_EQ(count_.cycles.load(), 0);

  EXPECT_EQ(window().Button("Button1")->text(), "Stop Polling");

  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  ASSERT_TRUE(WaitForCycles(1));
  EXPECT_EQ(Text("Label3"), "OK 1");
  EXPECT_EQ(OpenBox(window()), nullptr);
  EXPECT_EQ(window().Edit("Edit122")->text(), "60000");
  ClickOnWindow("Button1");  // now it takes the click
  EXPECT_TRUE(WaitFor([&] { return window().Button("Button1")->text() == "Begin Polling"; }));
}

// With [alerts] confirm = 2 and an outbox while mail is down, the failing
// row's tool tip says that its first alert was held back and its second
// queued; the watchdog's go to its list's tool tip.
TEST_F(WindowTest, AStatusLabelsToolTipSaysWhenItsAlertWasHeldBackOrQueued) {
  RefusingPort no_mail("127.0.0.1");
  Settings s = BaseSettings(1);
  s.mail.port = no_mail.port();
  s.alerts.policy.confirm = 2;
  s.alerts.outbox = dir_.File("outbox");
  s.roster[1] = {"127.0.31.2", true};  // row 2: refused
  Open(s);
  Click("Button1");
  ASSERT_TRUE(WaitForCycles(1));
  const QString held = Label("Label2")->toolTip();
  EXPECT_TRUE(held.startsWith("127.0.31.2\nLast probe started ")) << held.toStdString();
  EXPECT_TRUE(held.endsWith("\nAlert held back: failure 1 of 2")) << held.toStdString();

  Click("Button1");  // stops after one more cycle: the second failure alerts
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) != nullptr; }));  // erols failed
  QTest::mouseClick(OpenBox(window())->button(QMessageBox::Ok), Qt::LeftButton);
  ASSERT_TRUE(WaitForCycles(2));
  const QString queued = Label("Label2")->toolTip();
  EXPECT_TRUE(queued.contains("\nFailed: Connection lost. (")) << queued.toStdString();
  EXPECT_TRUE(queued.endsWith(")\nAlert queued: 1 waiting in the outbox")) << queued.toStdString();
  EXPECT_FALSE(queued.contains("held back")) << queued.toStdString();
  EXPECT_TRUE(window().ListBox1()->toolTip().isEmpty());

  // The watchdog's alerts (reported on the monitor's thread, as the
  // watchdog does).
  program_->runner().Post([&](monitor::Monitor&) {
    program_->view().AlertReported(monitor::AlertEvent::HeldBack(
        0, "IP 127.0.31.2 Is Not Responding!", "next reminder at 13:20:00"));
  });
  EXPECT_TRUE(WaitFor([&] {
    return window().ListBox1()->toolTip() == "Watchdog alert held back: next reminder at 13:20:00";
  })) << window().ListBox1()->toolTip().toStdString();
  program_->runner().Post([&](monitor::Monitor&) {
    program_->view().AlertReported(
        monitor::AlertEvent::Queued(0, "IP 127.0.31.2 Is Not Responding!", 2));
  });
  EXPECT_TRUE(WaitFor([&] {
    return window().ListBox1()->toolTip() == "Watchdog alert queued: 2 waiting in the outbox";
  })) << window().ListBox1()->toolTip().toStdString();
  EXPECT_EQ(Label("Label2")->toolTip(), queued);
}

// The row note (the availability over 24 h from the history) ends the
// tool tip of a row that has one, after every probe; other rows show none.
TEST_F(WindowTest, AStatusLabelsToolTipEndsWithItsRowsNote) {
  Settings s = BaseSettings(1);
  s.roster[1] = {"127.0.31.2", true};  // rows 2 and 3: refused
  s.roster[2] = {"127.0.31.3", true};
  std::atomic<int> asked{0};
  Open(s, [&asked](int row) {
    ++asked;
    return row == 2 ? std::string("Availability 24 h: 99.93 %") : std::string();
  });
  Click("Button1");
  ASSERT_TRUE(WaitForCycles(1));
  const QString noted = Label("Label2")->toolTip();
  EXPECT_TRUE(noted.startsWith("127.0.31.2\nLast probe started ")) << noted.toStdString();
  EXPECT_TRUE(noted.endsWith("\nAvailability 24 h: 99.93 %")) << noted.toStdString();
  const QString plain = Label("Label3")->toolTip();
  EXPECT_TRUE(plain.startsWith("127.0.31.3\n")) << plain.toStdString();
  EXPECT_FALSE(plain.contains("Availability")) << plain.toStdString();
  EXPECT_EQ(asked.load(), 2);
}

TEST_F(WindowTest, EachWatchdogTickAppendsTheTimeAndTheLastProbesStartToListBox1) {
  Open(BaseSettings(1));
  program_->runner().Post([](monitor::Monitor& m) { m.Timer2().SetInterval(200); });
  Click("Button1");
  QListWidget* list = window().ListBox1();
  ASSERT_TRUE(WaitFor([&] { return list->count() >= 4; }));
  for (int i = 0; i < list->count(); ++i) {
    EXPECT_TRUE(kTime.match(list->item(i)->text()).hasMatch())
        << list->item(i)->text().toStdString();
  }
  // No row is ticked: the last probe's start stays the time the window showed.
  EXPECT_EQ(list->item(1)->text(), list->item(3)->text());

  Click("Button1");  // stop: no more ticks
  ASSERT_TRUE(WaitForCycles(2));
  QTest::qWait(100);
  const int lines = list->count();
  EXPECT_EQ(lines % 2, 0);
  QTest::qWait(600);
  EXPECT_EQ(list->count(), lines);
}

TEST_F(WindowTest, ABadIntervalShowsTheErrorBoxAndChangesNothing) {
  Open(BaseSettings(1));
  Type("Edit122", "60s");
  Click("Button1");
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) != nullptr; }));
  QMessageBox* box = OpenBox(window());
  EXPECT_EQ(box->text(), "'60s' is not a valid integer value.");
  EXPECT_EQ(box->windowTitle(), "Tallyvox");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  EXPECT_TRUE(WaitFor([&] { return OpenBox(window()) == nullptr; }));
  QTest::qWait(200);
  EXPECT_EQ(window().Button("Button1")->text(), "Poll");
  EXPECT_EQ(count_.cycles.load(), 0);
}

// What a label (a message box's text, a tool tip) with `text` in `format` shows, as Qt
// decides it: as it stands, or rendered as HTML when it looks like HTML.
QString Shown(const QString& text, Qt::TextFormat format) {
  const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
  if (!rich) return text;
  QTextDocument document;
  document.setHtml(text);
  return document.toPlainText();
}

QString ShownInBox(QMessageBox* box) {
  const QLabel* label = box->findChild<QLabel*>("qt_msgbox_label");
  return label == nullptr ? QString("(no label)") : Shown(label->text(), label->textFormat());
}

// What the operator typed and what a mail server replied may look like HTML: every box
// shows it literally, with its control bytes escaped.
TEST_F(WindowTest, BoxesShowTypedAndServerTextsLiterally) {
  tallyvox::testing::ScriptedServer mail(
      peers_->ca.Localhost(),
      R"({"replies": {"MAIL": ["550 <b>x</b><img src=\"x.png\">\u001b[31m"]}})");
  Settings s = BaseSettings(1);
  s.mail.port = mail.port();
  s.roster[1] = {"127.0.31.2", true};  // row 2: refused, so an alert
  Open(s);
  Type("Edit122", "<b>60000</b><img src=x.png>");
  Click("Button1");
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) != nullptr; }));
  QMessageBox* box = OpenBox(window());
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  EXPECT_EQ(ShownInBox(box).toStdString(),
            "'<b>60000</b><img src=x.png>' is not a valid integer value.");
  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) == nullptr; }));

  Type("Edit122", "60000");
  Click("Button1");
  ASSERT_TRUE(WaitFor([&] { return OpenBox(window()) != nullptr; }));  // erols refused it
  box = OpenBox(window());
  const QString shown = ShownInBox(box);
  EXPECT_TRUE(shown.startsWith("<b>x</b><img src=\"x.png\">\\x1b[31m")) << shown.toStdString();
  EXPECT_FALSE(shown.contains(QChar(0x1b))) << shown.toStdString();
  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  ASSERT_TRUE(WaitForCycles(1));
}

// A row's tool tip quotes its address (a setting) and a failed probe's message (a
// server's text): it shows them literally, each on its line, also when they look like
// HTML.
TEST_F(WindowTest, AToolTipShowsAddressAndServerTextLiterally) {
  Open(BaseSettings(1));
  monitor::ProbeEvent report;
  report.row = 5;
  report.address = "<b>10.0.0.5</b><img src=x.png>";
  report.start = EncodeTime(12, 0, 0, 0);
  report.seconds = 0.5;
  report.outcome = monitor::ProbeEvent::Outcome::kFailed;
  report.reason = "<i>locked</i>\x1b[31m\r\nAlert held back: forged";
  window().SetToolTip("Label5", ProbeToolTip(report));
  EXPECT_EQ(Shown(Label("Label5")->toolTip(), Qt::AutoText).toStdString(),
            "<b>10.0.0.5</b><img src=x.png>\nLast probe started " +
                monitor::LongTimeText(report.start) +
                ", took 0.500 s\nFailed: <i>locked</i>\\x1b[31m  Alert held back: forged");
  // A plain tool tip stays as it was.
  window().SetToolTip("Label6", "10.0.0.6\nLast probe started 12:00:00, took 0.001 s");
  EXPECT_EQ(Label("Label6")->toolTip(), "10.0.0.6\nLast probe started 12:00:00, took 0.001 s");
}

TEST_F(WindowTest, AnAddressEditedWhilePollingIsProbedByTheNextCycle) {
  MwServerProcess servers({"--listen", "127.0.30.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  Settings s = BaseSettings(servers.port());
  s.roster[1] = {"127.0.30.1", true};  // row 2
  Open(s);
  Type("Edit122", "300");
  Click("Button1");
  ASSERT_TRUE(WaitForCycles(1));
  EXPECT_EQ(Text("Label2"), "OK 1");
  Type("Edit2", "127.0.31.2");  // nobody listens there
  EXPECT_TRUE(WaitFor([&] { return Text("Label2").startsWith("Problem "); }));
  EXPECT_TRUE(Label("Label2")->toolTip().startsWith("127.0.31.2\n"))
      << Label("Label2")->toolTip().toStdString();
  Click("Button1");
  EXPECT_TRUE(WaitFor([&] { return window().Button("Button1")->text() == "Begin Polling"; }));
}

// "Connect" probes row 1's address once, ticked or not; "Email" sends the
// test alert through the selected account.
TEST_F(WindowTest, ConnectAndEmailReachTheirHandlers) {
  MwServerProcess servers({"--listen", "127.0.30.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  Settings s = BaseSettings(servers.port());
  s.roster[0] = {"127.0.30.1", false};  // row 1, unticked
  Open(s);
  const size_t mails_before = MailsSoFar();
  Click("Button2");
  EXPECT_TRUE(WaitFor([&] { return Text("Label1") == "OK "; })) << Text("Label1").toStdString();
  EXPECT_EQ(servers.CountLines("function=\"EXECUTE\""), 1);

  Click("Button3");
  const auto mails = peers_->smtp->Messages(mails_before + 1);
  ASSERT_EQ(mails.size(), mails_before + 1);
  EXPECT_NE(mails.back().data.find("IP 192.0.2.1 is Down!"), std::string::npos);
}

}  // namespace
}  // namespace tallyvox::ui::testing
