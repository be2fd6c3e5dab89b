// MwProbeChannel: the probe channel over the middleware client components of
// the main window, with their stored settings:
//   MwTCPIPClientTransport1  Host 127.0.0.1, Port 3000, StreamFormat
//     "STANDARD", VerifyTransfer, no state options, MaxRetries 0,
//     MaxRetriesAlternative 0, StringConversion mwscFixed; RequestTimeout and
//     ConnectTimeout from the settings (a stored ConnectTimeout of 0 would let
//     a blackholed host hold a connect for minutes), and during each probe a
//     connect deadline of connect_timeout and the probe's deadline of
//     connect_timeout + request_timeout, both from the probe's start
//   MwClientConnectionPool1  MaxConnections 5, MaxCacheAge 600, EnableCache,
//     ConnectionInactivityTimeout 5
//   MwPooledSession1         session "DEMO", AutoSessionName (the queries are
//     renamed to its effective name, "DEMO_1" for the first session)
//   qUFile7, qZipCodes       the probe query "select * from ufile7" and the
//     unused "select * from zipcodes where zipcode = '501'", service
//     "MW_QUERY" "MW_1.0", ConnectionWaitTimeout 1, MwBinaryStreamFormat1
//   MwBinaryStreamFormat1    Version "1.04"
//
// One row of a poll cycle (rows 2 to 111) reaches them in this order: pool
// Active false, transport Host, pool Transport, pool Active true, qUFile7
// closed when open, (the audit write), Execute, pool Active false. Row 1 and
// the connection test leave out the two pool steps before Host and the final
// deactivation, as long as the pooled connections were made for the address
// aimed at; for another address they are discarded first, as for a fresh
// aim, so that a probe never reuses a connection to a server it was not
// aimed at.
//
// Every pooled connection refuses a response larger than
// ProbeSettings::max_response_bytes ("Transportstream size out of bounds."):
// a probe's answer is a few hundred bytes.
//
// The events (the transport's OnException, the queries' BeforeOpen and
// AfterOpen) are left for the owner to bind to the monitor's handlers.
// Used on one thread.
#ifndef TALLYVOX_ADAPTERS_PROBE_CHANNEL_H_
#define TALLYVOX_ADAPTERS_PROBE_CHANNEL_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/dataset_stream_format.h"
#include "monitor/seams.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

class MwProbeChannel : public ProbeChannel {
 public:
  explicit MwProbeChannel(const ProbeSettings& settings = ProbeSettings());
  ~MwProbeChannel() override;

  // PrepareCycle: transport Port (the probe port), StreamFormat "STANDARD",
  // Params cleared, the pool's Transport, ClientData "COMMON" on the
  // effective clients of qZipCodes and then qUFile7.
  void PrepareCycle() override;
  void AimProbe(const std::string& address, bool fresh) override;
  // Execute of qUFile7 without a transaction. Its connect attempts (the
  // pooled connection's, then the request's when the first failed) share one
  // deadline, connect_timeout after the probe's start, so a host that never
  // answers fails the probe within connect_timeout. The whole probe, host
  // name lookups included, ends within ProbeBudget() from its start
  // whatever the server sends: a wait that deadline ends fails as a read
  // time-out does ("Connection lost." in the end), and the transport's
  // OnException sees net::ENetDeadlineExpired, "no answer within N s".
  void RunProbe() override;
  // The same with both deadlines counted from `start` (a command whose whole
  // run is the probe counts from its own start).
  void RunProbe(std::chrono::steady_clock::time_point start);
  // The same with the probe's deadline `budget` after `start` instead of
  // ProbeBudget() (a plugin's -t, a scrape's time-out); the connect deadline stays.
  void RunProbe(std::chrono::steady_clock::time_point start, std::chrono::milliseconds budget);
  // connect_timeout + request_timeout.
  std::chrono::seconds ProbeBudget() const;
  // The pool's Active to false.
  void ReleaseProbe() override;

  ProbeSettings& Settings() { return settings_; }
  // New port and time-outs (a reloaded settings file): the transport's
  // time-outs and response limit at once, the port at the next
  // PrepareCycle; pooled connections, made with the old ones, are
  // discarded.
  void Reconfigure(const ProbeSettings& settings);

  // Declared in the order they are built; destroyed in reverse.
  mw::TMwTCPIPClientTransport MwTCPIPClientTransport1;
  mw::TMwClientConnectionPool MwClientConnectionPool1;
  mw::TMwPooledSession MwPooledSession1;
  mw::TMwBinaryStreamFormat MwBinaryStreamFormat1;
  mw::TMwClientQuery qUFile7;
  mw::TMwClientQuery qZipCodes;

 private:
  // RequestTimeout, ConnectTimeout and the response limit from settings_.
  void ApplyTimeouts();

  ProbeSettings settings_;
  // The Host the pool's connections were made for while it is active.
  std::optional<std::string> pool_address_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ADAPTERS_PROBE_CHANNEL_H_
