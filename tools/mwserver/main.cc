// mwserver: a simulated middleware application server for tests and demos.
// Run without arguments for the usage text.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mwserver/lib/options.h"
#include "mwserver/lib/server.h"

int main(int argc, char** argv) {
  using namespace tallyvox::mwserver;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(Usage().c_str(), args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  ServerOptions options;
  std::string error;
  if (!ParseArguments(args, &options, &error)) {
    std::fprintf(stderr, "mwserver: %s\n%s", error.c_str(), Usage().c_str());
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  Server server(options);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "mwserver: %s\n", error.c_str());
    return 1;
  }
  server.Run(/*handle_signals=*/true);
  return 0;
}
