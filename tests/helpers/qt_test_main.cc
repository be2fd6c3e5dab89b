// The monitor tests need a Qt application object for their event loops
// (timers, nested message-box loops).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <clocale>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  std::setlocale(LC_ALL, "C");  // times as "13:05:09" whatever the environment says
  return RUN_ALL_TESTS();
}
