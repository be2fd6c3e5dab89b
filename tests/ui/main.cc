// The window tests run on Qt's offscreen platform (no display needed) with a
// QApplication for the widgets and the event loops.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_ALL, "C");  // times as "13:05:09" whatever the environment says
  return RUN_ALL_TESTS();
}
