#include "monitor/post_call.h"

#include <QMetaObject>
#include <QObject>
#include <mutex>

namespace tallyvox::monitor {
namespace {

std::mutex& HandOver() {
  static std::mutex mu;
  return mu;
}

}  // namespace

void PostCall(QObject* receiver, std::function<void()> call) {
  std::lock_guard<std::mutex> posting(HandOver());
  QMetaObject::invokeMethod(
      receiver,
      [call = std::move(call)] {
        { std::lock_guard<std::mutex> posted(HandOver()); }
        call();
      },
      Qt::QueuedConnection);
}

}  // namespace tallyvox::monitor
