#include "adapters/probe_channel.h"

#include <algorithm>
#include <chrono>

#include "middleware/wire/string_list.h"
#include "middleware/wire/variant.h"
#include "net/deadline.h"

namespace tallyvox::monitor {
namespace {

using namespace tallyvox::mw;

void ConfigureQuery(TMwClientQuery& query, const std::string& statement,
                    TMwBinaryStreamFormat& format) {
  query.SetQuery({statement});
  query.SetQueryService("MW_QUERY");
  query.SetQueryServiceVersion("MW_1.0");
  query.SetSessionName("DEMO");
  query.SetConnectionWaitTimeout(1);
  query.SetTransportStreamFormat(&format);
  query.FetchLargeFieldsOnDemand = true;
  query.LargeFieldSize = 256;
  query.FetchMaxRecords = 0;
  query.TableName = "ZIPCODES";
  query.AutoResolveOnChange = false;
  query.AutoResolveOnClose = false;
  query.SetStatementPassthrough(true);
}

// A transport's response limit is read from its Params when they change; the
// limit stays when they change again without it, and every pooled connection
// copies it from the template. So the limit is set once on the template
// without leaving anything in its Params (which every request would carry).
void LimitResponseSize(TMwCustomClientTransport& transport, int32_t bytes) {
  const TMwStrings params = transport.Params();
  TMwStrings limited = params;
  limited.SetValue("MAXTRANSPORTSTREAMSIZE", std::to_string(bytes));
  transport.SetParams(limited);
  transport.SetParams(params);
}

}  // namespace

MwProbeChannel::MwProbeChannel(const ProbeSettings& settings) : settings_(settings) {
  TMwTCPIPClientTransport& t = MwTCPIPClientTransport1;
  t.SetHost("127.0.0.1");
  t.SetPort(3000);
  t.SetStreamFormat("STANDARD");
  t.SetVerifyTransfer(true);
  t.SetTransportStateOptions(0);
  t.SetMaxRetries(0);
  t.SetMaxRetriesAlternative(0);
  t.SetMinClientPort(0);
  t.SetMaxClientPort(0);
  t.SetStringConversion(mwscFixed);
  ApplyTimeouts();

  TMwClientConnectionPool& pool = MwClientConnectionPool1;
  pool.SetMaxConnections(5);
  pool.SetMaxCacheAge(600);
  pool.SetEnableCache(true);
  pool.SetConnectionInactivityTimeout(5);

  MwPooledSession1.SetConnectionPool(&pool);
  MwPooledSession1.SetAutoSessionName(true);
  MwPooledSession1.SetSessionName("DEMO");
  MwPooledSession1.SetName("MwPooledSession1");

  ConfigureQuery(qUFile7, "select * from ufile7", MwBinaryStreamFormat1);
  ConfigureQuery(qZipCodes, "select * from zipcodes where zipcode = '501'", MwBinaryStreamFormat1);
  // The window has been loaded: the session renames the queries.
  MwPooledSession1.Loaded({&qUFile7, &qZipCodes});
}

void MwProbeChannel::ApplyTimeouts() {
  TMwTCPIPClientTransport& t = MwTCPIPClientTransport1;
  t.SetRequestTimeout(settings_.request_timeout);
  t.SetConnectTimeout(settings_.connect_timeout);
  LimitResponseSize(t, settings_.max_response_bytes);
}

void MwProbeChannel::Reconfigure(const ProbeSettings& settings) {
  settings_ = settings;
  ReleaseProbe();
  ApplyTimeouts();
}

MwProbeChannel::~MwProbeChannel() {
  MwClientConnectionPool1.SetActive(false);
  MwClientConnectionPool1.SetTransport(nullptr);
}

void MwProbeChannel::PrepareCycle() {
  MwTCPIPClientTransport1.SetPort(settings_.port);
  MwTCPIPClientTransport1.SetStreamFormat("STANDARD");
  MwTCPIPClientTransport1.SetParams(TMwStrings());
  MwClientConnectionPool1.SetTransport(&MwTCPIPClientTransport1);
  qZipCodes.EffectiveClient().SetClientData(Variant("COMMON"));
  qUFile7.EffectiveClient().SetClientData(Variant("COMMON"));
}

void MwProbeChannel::AimProbe(const std::string& address, bool fresh) {
  TMwClientConnectionPool& pool = MwClientConnectionPool1;
  const bool stale = pool.Active() && pool.ConnectionCount() > 0 && pool_address_ != address;
  const bool discard = fresh || stale;
  if (discard) pool.SetActive(false);
  MwTCPIPClientTransport1.SetHost(address);
  if (discard) pool.SetTransport(&MwTCPIPClientTransport1);
  pool.SetActive(true);
  pool_address_ = address;
  if (qUFile7.Active()) qUFile7.SetActive(false);
}

void MwProbeChannel::RunProbe() { RunProbe(std::chrono::steady_clock::now()); }

void MwProbeChannel::RunProbe(std::chrono::steady_clock::time_point start) {
  RunProbe(start, ProbeBudget());
}

void MwProbeChannel::RunProbe(std::chrono::steady_clock::time_point start,
                              std::chrono::milliseconds budget) {
  // Two deadlines from the probe's start, which every pooled connection
  // shares with the transport: its connects (the pooled connection's, then
  // the request's when the first failed) share the connect deadline, and
  // everything it does, name lookups, connects, reads and writes, ends by
  // the probe's deadline, however the server paces its answer.
  TMwTCPIPClientTransport& t = MwTCPIPClientTransport1;
  if (settings_.connect_timeout > 0) {
    t.SetConnectDeadline(start + std::chrono::seconds(settings_.connect_timeout));
  }
  t.SetDeadline(net::TNetDeadline::Within(budget, start));
  struct ClearDeadlines {
    TMwTCPIPClientTransport& t;
    ~ClearDeadlines() {
      t.ClearConnectDeadline();
      t.ClearDeadline();
    }
  } clear{t};
  qUFile7.Execute(nullptr);
}

std::chrono::seconds MwProbeChannel::ProbeBudget() const {
  return std::chrono::seconds(std::max(settings_.connect_timeout, 0) +
                              std::max(settings_.request_timeout, 0));
}

void MwProbeChannel::ReleaseProbe() {
  MwClientConnectionPool1.SetActive(false);
  pool_address_.reset();
}

}  // namespace tallyvox::monitor
