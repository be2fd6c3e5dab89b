// One alert delivered to a local aiosmtpd over implicit TLS with AUTH LOGIN:
// the whole session (TCP connect, TLS handshake, EHLO, RSET, login, MAIL,
// two RCPT, DATA, the message, ".", QUIT) through TNetSMTP, versus swaks
// delivering the same message bytes with the same dialogue to the same
// server. Prints the median time per delivery of each and their ratio
// (swaks / Tallyvox; above 1 means our client is faster). swaks runs as a
// separate Perl process per delivery, so its time includes that start-up;
// its in-process share is shown by timing `swaks --version` as well.
//
//   build-bench/bench/mail_bench [deliveries]     (default 30)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/smtp.h"
#include "net/ssl_io_handler.h"
#include "support/alert_message.h"
#include "support/mail_servers.h"
#include "support/support.h"
#include "support/test_ca.h"

namespace {

using Clock = std::chrono::steady_clock;
using tallyvox::mail::TNetMessage;
using tallyvox::mail::TNetSMTP;

constexpr char kUser[] = "alerts@quorvant.example";
constexpr char kPassword[] = "bench-password";

double MedianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double ElapsedMs(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The message as our client writes it, for swaks to send unchanged.
std::string MessageText(TNetMessage& message) {
  std::string text;
  const tallyvox::mail::TNetHeaderList headers =
      tallyvox::mail::TNetMessageClient::BuildHeaderLines(message);
  for (const std::string& line : headers.Lines()) text += line + "\r\n";
  text += "\r\n";
  for (const std::string& line : message.Body) text += line + "\r\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int deliveries = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
  tallyvox::testing::TestCA ca;
  tallyvox::testing::AiosmtpdServer server(ca.Localhost(), kUser, kPassword);
  tallyvox::testing::TempDir dir;

  tallyvox::net::TNetSSLIOHandlerSocket tls;
  tls.SSLOptions.RootCertFile = ca.ca_cert_file();
  TNetSMTP smtp;
  smtp.SetIOHandler(&tls);
  smtp.Host = "127.0.0.1";
  smtp.Port = server.port();
  smtp.SetAuthenticationType(tallyvox::mail::TAuthenticationType::atLogin);
  smtp.Username = kUser;
  smtp.Password = kPassword;
  TNetMessage message = tallyvox::testing::AlertMessage();

  std::vector<double> ours;
  for (int i = 0; i < deliveries + 2; ++i) {
    const auto start = Clock::now();
    smtp.OpenConnection(10000);
    smtp.DeliverMessage(message);
    if (smtp.IsOpen()) smtp.CloseConnection();
    if (i >= 2) ours.push_back(ElapsedMs(start));  // two warm-up rounds
  }

  const std::string data_file = dir.File("message.eml");
  tallyvox::testing::WriteFile(data_file, MessageText(message));
  const std::string swaks =
      "swaks --silent 2 --server 127.0.0.1:" + std::to_string(server.port()) +
      " --tlsc --auth LOGIN --auth-user '" + kUser + "' --auth-password '" + kPassword +
      "' --helo " + tallyvox::net::TNetStack::Instance().LocalHostName() +
      " --from monitor@quorvant.example --to quell@home.example,5550100@txt.example --data " +
      data_file;
  std::vector<double> theirs;
  std::vector<double> startup;
  for (int i = 0; i < deliveries + 2; ++i) {
    std::string output;
    const auto start = Clock::now();
    const int rc = tallyvox::testing::RunCommand(swaks, &output, std::chrono::seconds(30));
    const double ms = ElapsedMs(start);
    if (rc != 0) {
      std::fprintf(stderr, "swaks failed (%d): %s\n", rc, output.c_str());
      return 1;
    }
    if (i >= 2) theirs.push_back(ms);
    const auto version_start = Clock::now();
    tallyvox::testing::RunCommand("swaks --version", nullptr, std::chrono::seconds(30));
    if (i >= 2) startup.push_back(ElapsedMs(version_start));
  }

  const std::size_t expected = static_cast<std::size_t>(2 * (deliveries + 2));
  const std::size_t received = server.Messages(expected).size();
  const double our_ms = MedianMs(ours);
  const double their_ms = MedianMs(theirs);
  std::printf("mail delivery to local aiosmtpd (implicit TLS, AUTH LOGIN), %d deliveries each\n",
              deliveries);
  std::printf("  Tallyvox TNetSMTP     median %8.2f ms per delivery\n", our_ms);
  std::printf("  swaks                 median %8.2f ms per delivery\n", their_ms);
  std::printf("  swaks --version       median %8.2f ms (process start-up share)\n",
              MedianMs(startup));
  std::printf("  ratio swaks/Tallyvox  %.2f\n", their_ms / our_ms);
  std::printf("  messages received     %zu of %zu\n", received, expected);
  return received == expected ? 0 : 1;
}
