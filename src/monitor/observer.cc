#include "monitor/observer.h"

#include <QString>

namespace tallyvox::monitor {

std::string FailureReason(const std::string& message, const std::string& transport_error) {
  if (transport_error.empty() || transport_error == message) return message;
  // Its line breaks ("Socket Error # 10061\r\n...") read as blanks.
  return message + " (" + QString::fromStdString(transport_error).simplified().toStdString() + ")";
}

std::string DeliveryFailureText(const std::string& server, const std::string& error) {
  return server.empty() ? error : server + ": " + error;
}

}  // namespace tallyvox::monitor
