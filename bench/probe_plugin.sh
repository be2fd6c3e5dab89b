#!/usr/bin/env bash
# `tallyvox probe` as a monitoring plugin costs it: a monitoring system starts
# it every minute for every host, so its whole process counts, start-up
# included. Runs `tallyvox probe -H 127.0.0.1 -p PORT` against a local
# mwserver and Debian's check_tcp (connect only: it cannot send our request)
# against the same port in turn, RUNS pairs (30 by default), and prints the
# median CPU (user + system, the kernel's accounting of each finished run)
# and peak RSS (GNU time's, of a second run) of each, and the median of the
# pairwise CPU ratio. Targets: at most 2x check_tcp's CPU and at most 6 MB peak RSS.
# Exits 1 when a target is missed or a probe did not answer. PROBE_PROGRAM
# names another program to measure in tallyvox's place (tallyvox-monitor,
# which runs the same probe with all the monitor's libraries loaded, shows
# what the small front saves).
source "$(dirname "$0")/headless.bash"
runs=${RUNS:-30}
program=${PROBE_PROGRAM:-$bin/app/tallyvox}
check_tcp=${CHECK_TCP:-/usr/lib/nagios/plugins/check_tcp}
if [[ ! -x "$check_tcp" ]]; then
  echo "probe_plugin: $check_tcp is missing (scripts/setup installs monitoring-plugins-basic)" >&2
  exit 1
fi

port=$(free_port 127.0.0.1)
"$bin/tools/mwserver" --quiet --listen "127.0.0.1:$port" >"$work/mw.log" 2>&1 &
mw=$!
wait_for_mwserver

/usr/bin/python3 - "$runs" "$program" "$check_tcp" "$port" "$work/rss" <<'PY'
import os, statistics, subprocess, sys

runs, tallyvox, check_tcp, port = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
rss_file = sys.argv[5]
commands = {
    "tallyvox probe": [tallyvox, "probe", "-H", "127.0.0.1", "-p", port],
    "check_tcp": [check_tcp, "-H", "127.0.0.1", "-p", port],
}

def run(argv):
    """CPU seconds and peak RSS (KiB) of one whole process, and its exit status.

    The CPU is the kernel's accounting of the finished child (wait4). The peak
    RSS is GNU time's report of a second run: a child of this Python process
    counts Python's own pages in its peak, as they are the child's until it
    executes the program.
    """
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    code = os.waitstatus_to_exitcode(status)
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    with open(rss_file) as f:
        peak = int(f.read().split()[-1])
    return usage.ru_utime + usage.ru_stime, peak, code

for argv in commands.values():  # warm the page cache
    run(argv)
cpu = {name: [] for name in commands}
rss = {name: [] for name in commands}
ratios = []
for _ in range(runs):
    pair = {}
    for name, argv in commands.items():
        seconds, peak, code = run(argv)
        if code != 0:
            sys.exit(f"probe_plugin: {name} exited with {code}")
        cpu[name].append(seconds)
        rss[name].append(peak)
        pair[name] = seconds
    if pair["check_tcp"] > 0:
        ratios.append(pair["tallyvox probe"] / pair["check_tcp"])

for name in commands:
    print(f"{name:15s} cpu median {statistics.median(cpu[name]) * 1000:6.2f} ms "
          f"(min {min(cpu[name]) * 1000:.2f}, max {max(cpu[name]) * 1000:.2f}), "
          f"peak RSS median {statistics.median(rss[name]) / 1024:5.1f} MB "
          f"(max {max(rss[name]) / 1024:.1f})")
ratio = statistics.median(ratios) if ratios else float("inf")
peak = statistics.median(rss["tallyvox probe"]) / 1024
print(f"tallyvox probe / check_tcp CPU, median of {len(ratios)} pairs: {ratio:.2f}x "
      f"(target at most 2x); peak RSS {peak:.1f} MB (target at most 6 MB)")
sys.exit(0 if ratio <= 2 and peak <= 6 else 1)
PY
