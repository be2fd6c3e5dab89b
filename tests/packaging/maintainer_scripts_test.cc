// The monitor package's maintainer scripts, run as dpkg runs them with
// stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl that
// log their calls: a new install never enables or starts the unit, an
// upgrade keeps the operator's choice and restarts a running monitor, a
// removal stops it, and systemd is asked to reload only where it runs. Each
// case runs in a mount namespace of its own with an empty /run, where
// /run/systemd/system exists or not as the case wants (the host's /run is
// left alone); without the privilege for that the cases are skipped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

// Logs "<name> <arguments>" and answers was-enabled from $WAS_ENABLED.
constexpr const char* kStandIn = R"(#!/bin/sh
echo "${0##*/} $*" >> "$STAND_IN_LOG"
if [ "$2" = was-enabled ]; then [ "$WAS_ENABLED" = yes ]; exit; fi
exit 0
)";

struct ScriptCase {
  const char* name;
  const char* script;
  const char* arguments;
  bool systemd_running;
  bool was_enabled;
  const char* calls;  // the stand-ins' log, in order
};

const ScriptCase kCases[] = {
    {"new install: reloaded, neither enabled nor started", "postinst", "configure", true, false,
     "deb-systemd-helper unmask tallyvox.service\n"
     "deb-systemd-helper --quiet was-enabled tallyvox.service\n"
     "deb-systemd-helper update-state tallyvox.service\n"
     "systemctl --system daemon-reload\n"},
    {"new install without systemd: no reload", "postinst", "configure", false, false,
     "deb-systemd-helper unmask tallyvox.service\n"
     "deb-systemd-helper --quiet was-enabled tallyvox.service\n"
     "deb-systemd-helper update-state tallyvox.service\n"},
    {"upgrade of an enabled unit: kept enabled, a running monitor restarted", "postinst",
     "configure 2.4-1", true, true,
     "deb-systemd-helper unmask tallyvox.service\n"
     "deb-systemd-helper --quiet was-enabled tallyvox.service\n"
     "deb-systemd-helper enable tallyvox.service\n"
     "deb-systemd-helper update-state tallyvox.service\n"
     "systemctl --system daemon-reload\n"
     "deb-systemd-invoke try-restart tallyvox.service\n"},
    {"removal: the monitor stopped", "prerm", "remove", true, true,
     "deb-systemd-invoke stop tallyvox.service\n"},
    {"removal without systemd: nothing to stop", "prerm", "remove", false, true, ""},
    {"upgrade: left running for postinst's restart", "prerm", "upgrade 2.4-1", true, true, ""},
    {"removed: reloaded and masked", "postrm", "remove", true, true,
     "systemctl --system daemon-reload\n"
     "deb-systemd-helper mask tallyvox.service\n"},
    {"purged: its state and mask dropped", "postrm", "purge", true, true,
     "deb-systemd-helper purge tallyvox.service\n"
     "deb-systemd-helper unmask tallyvox.service\n"},
};

TEST(MaintainerScripts, CallSystemdAsEachStepWants) {
  std::string out;
  if (RunCommand("unshare -m sh -c 'mount -t tmpfs none /run'", &out) != 0) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  TempDir tmp;
  const std::string bin = tmp.File("bin");
  ASSERT_EQ(RunCommand("mkdir " + bin, &out), 0) << out;
  for (const char* name : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
    WriteFile(bin + "/" + name, kStandIn);
  }
  ASSERT_EQ(RunCommand("chmod 755 " + bin + "/*", &out), 0) << out;

  for (const ScriptCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string log = tmp.File("calls.log");
    WriteFile(log, "");
    const std::string script = SourceDir() + "/packaging/debian/" + c.script;
    const std::string inner = std::string("mount -t tmpfs none /run") +
                              (c.systemd_running ? " && mkdir -p /run/systemd/system" : "") +
                              " && PATH=" + bin + ":$PATH STAND_IN_LOG=" + log +
                              " WAS_ENABLED=" + (c.was_enabled ? "yes" : "no") + " " + script +
                              " " + c.arguments;
    ASSERT_EQ(RunCommand("unshare -m sh -c '" + inner + "'", &out, 10s), 0) << out;
    EXPECT_EQ(ReadFile(log), c.calls);
  }
}

}  // namespace
}  // namespace tallyvox::testing
