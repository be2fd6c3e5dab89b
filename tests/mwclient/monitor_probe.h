// The monitor's middleware components as its main window configures them
// (the TCP/IP transport, the pool, the session "DEMO" and the probe query
// qUFile7), with the four probe operations in the order the poll cycle uses
// them. Shared by the probe tests and the probe benchmark so that both run
// exactly the monitor's sequence.
#ifndef TALLYVOX_TESTS_MWCLIENT_MONITOR_PROBE_H_
#define TALLYVOX_TESTS_MWCLIENT_MONITOR_PROBE_H_

#include <string>

#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw::testing {

struct MonitorProbe {
  TMwTCPIPClientTransport transport;
  TMwClientConnectionPool pool;
  TMwPooledSession session;
  TMwBinaryStreamFormat format;
  TMwClientQuery query;
  int before_open = 0;
  int after_open = 0;

  // The stored settings, the window's loading (the session renames the
  // query to its effective name) and one PrepareCycle.
  MonitorProbe() {
    transport.SetPort(3000);
    transport.SetStreamFormat("STANDARD");
    transport.SetVerifyTransfer(true);
    transport.SetTransportStateOptions(0);
    transport.SetMaxRetries(0);
    transport.SetMaxRetriesAlternative(0);
    transport.SetRequestTimeout(5);
    transport.SetMinClientPort(0);
    transport.SetMaxClientPort(0);
    transport.SetConnectTimeout(0);
    transport.SetStringConversion(mwscFixed);
    pool.SetMaxConnections(5);
    pool.SetMaxCacheAge(600);
    pool.SetEnableCache(true);
    pool.SetConnectionInactivityTimeout(5);
    session.SetConnectionPool(&pool);
    session.SetAutoSessionName(true);
    session.SetSessionName("DEMO");
    query.SetQuery({"select * from ufile7"});
    query.SetQueryService("MW_QUERY");
    query.SetQueryServiceVersion("MW_1.0");
    query.SetSessionName("DEMO");
    query.SetConnectionWaitTimeout(1);
    query.SetTransportStreamFormat(&format);
    query.TableName = "ZIPCODES";
    query.SetStatementPassthrough(true);
    query.BeforeOpen = [this](TMwClientQuery&) { ++before_open; };
    query.AfterOpen = [this](TMwClientQuery&) { ++after_open; };
    session.Loaded({&query});
    PrepareCycle();
  }

  // Once per poll cycle. The servers of tests and benchmarks do not listen
  // on port 80: callers set the transport's Port after this.
  void PrepareCycle() {
    transport.SetPort(80);
    transport.SetStreamFormat("STANDARD");
    transport.SetParams(TMwStrings());
    pool.SetTransport(&transport);
    query.EffectiveClient().SetClientData(Variant("COMMON"));
  }

  void AimProbe(const std::string& address, bool fresh) {
    if (fresh) pool.SetActive(false);
    transport.SetHost(address);
    if (fresh) pool.SetTransport(&transport);
    pool.SetActive(true);
    if (query.Active()) query.SetActive(false);
  }

  void RunProbe() { query.Execute(nullptr); }

  void ReleaseProbe() { pool.SetActive(false); }

  // One row of a poll cycle (rows 2 to 111): AimProbe fresh, RunProbe and,
  // on every way out, ReleaseProbe.
  void ProbeRow(const std::string& address) {
    AimProbe(address, /*fresh=*/true);
    struct Release {
      MonitorProbe& m;
      ~Release() { m.ReleaseProbe(); }
    } release{*this};
    RunProbe();
  }
};

}  // namespace tallyvox::mw::testing

#endif  // TALLYVOX_TESTS_MWCLIENT_MONITOR_PROBE_H_
