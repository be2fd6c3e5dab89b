// The event loop of mwserver: one thread, one epoll set, non-blocking
// sockets. Every listener has its own Behaviour (options.h). Each connection
// holds at most one request in work at a time; further bytes wait in its
// input buffer (capped by ServerOptions::max_message) and are answered in
// order. Answers waiting to be sent are capped by ServerOptions::max_output;
// a connection over either cap, or silent for idle_timeout_s, is closed.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_SERVER_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_SERVER_H_

#include <functional>
#include <memory>
#include <string>

#include "mwserver/lib/options.h"

namespace tallyvox::mwserver {

class Server {
 public:
  using LogSink = std::function<void(const std::string& line)>;

  // `log` receives one line per request and per notable event (default:
  // standard output, flushed per line).
  explicit Server(ServerOptions options, LogSink log = nullptr);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens on every address; false with a message when one fails.
  bool Start(std::string* error);
  // Serves until Stop() is called (from any thread) or, when
  // `handle_signals`, until SIGTERM or SIGINT arrives.
  void Run(bool handle_signals);
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_SERVER_H_
