#!/usr/bin/env bash
# /probe as Prometheus drives it, side by side with Debian's
# prometheus-blackbox-exporter (its /probe with the tcp_connect module, a
# connect-only check: it cannot send our request) on the same local
# mwserver: `tallyvox serve` runs our whole probe (aim, EXECUTE, answer) per
# scrape. REQUESTS scrapes of each (500 by default), one at a time, then
# CONCURRENT at once (200 by default, half of them to a silent server with
# a scrape time-out of 1 s); prints the median and 99th percentile latency
# and each server's CPU per probe (user + system from /proc/PID/stat, the
# server process alone) and their ratio, the burst's outcome (every answer
# within its time-out or a 503) and the servers' RSS and descriptors after
# it. Target: at most 1.0x blackbox_exporter's CPU per probe. Exits 1 when a
# target is missed or a scrape went wrong.
source "$(dirname "$0")/headless.bash"
requests=${REQUESTS:-500}
concurrent=${CONCURRENT:-200}
blackbox=${BLACKBOX:-/usr/bin/prometheus-blackbox-exporter}
if [[ ! -x "$blackbox" ]]; then
  echo "probe_exporter: $blackbox is missing (scripts/setup installs prometheus-blackbox-exporter)" >&2
  exit 1
fi
bb=""
cleanup_bb() { [[ -n "$bb" ]] && kill -TERM "$bb" 2>/dev/null && wait "$bb" 2>/dev/null || true; cleanup; }
trap cleanup_bb EXIT

mw_port=$(free_port 127.0.0.1)
"$bin/tools/mwserver" --quiet --listen "127.0.0.1:$mw_port" \
  --listen "127.0.0.2:$mw_port" --fault silent >"$work/mw.log" 2>&1 &
mw=$!
wait_for_mwserver

# No settings file: the prober takes the defaults (XDG_CONFIG_HOME is empty).
tv_port=$(free_port 127.0.0.1)
XDG_CONFIG_HOME="$work" "$bin/app/tallyvox" serve --listen "127.0.0.1:$tv_port" \
  >"$work/tv.log" 2>&1 &
tv=$!
cat >"$work/blackbox.yml" <<YML
modules:
  tcp_connect:
    prober: tcp
    timeout: 5s
YML
bb_port=$(free_port 127.0.0.1)
"$blackbox" --config.file="$work/blackbox.yml" --web.listen-address="127.0.0.1:$bb_port" \
  >"$work/bb.log" 2>&1 &
bb=$!

/usr/bin/python3 - "$requests" "$concurrent" "$mw_port" "$tv_port" "$tv" "$bb_port" "$bb" <<'PY'
import concurrent.futures, http.client, os, statistics, sys, time

requests, burst, mw_port, tv_port, tv_pid, bb_port, bb_pid = map(int, sys.argv[1:])
ticks = os.sysconf("SC_CLK_TCK")

def cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks

def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0

def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))

def get(port, path, timeout=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {} if timeout is None else {"X-Prometheus-Scrape-Timeout-Seconds": str(timeout)}
    start = time.perf_counter()
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    body = r.read().decode()
    conn.close()
    return r.status, body, time.perf_counter() - start

def wait_ready(port, path):
    for _ in range(100):
        try:
            if get(port, path)[0] == 200:
                return
        except OSError:
            pass
        time.sleep(0.1)
    sys.exit(f"probe_exporter: nothing answers on port {port}")

tv_path = f"/probe?target=127.0.0.1:{mw_port}"
bb_path = f"/probe?module=tcp_connect&target=127.0.0.1:{mw_port}"
wait_ready(tv_port, tv_path)
wait_ready(bb_port, bb_path)

def series(port, path, pid):
    for _ in range(20):  # warm up
        get(port, path)
    before = cpu(pid)
    latencies = []
    for _ in range(requests):
        code, body, seconds = get(port, path)
        if code != 200 or "probe_success 1" not in body:
            sys.exit(f"probe_exporter: a scrape failed: {code} {body[:200]}")
        latencies.append(seconds)
    used = cpu(pid) - before
    latencies.sort()
    return used / requests, statistics.median(latencies), latencies[int(len(latencies) * 0.99) - 1]

tv_cpu, tv_med, tv_p99 = series(tv_port, tv_path, tv_pid)
bb_cpu, bb_med, bb_p99 = series(bb_port, bb_path, bb_pid)
ratio = tv_cpu / bb_cpu if bb_cpu > 0 else float("inf")
print(f"{'':28}{'median':>10}{'p99':>10}{'CPU/probe':>12}")
print(f"{'tallyvox /probe (our probe)':28}{tv_med*1e3:9.2f}ms{tv_p99*1e3:9.2f}ms{tv_cpu*1e3:10.3f}ms")
print(f"{'blackbox /probe tcp_connect':28}{bb_med*1e3:9.2f}ms{bb_p99*1e3:9.2f}ms{bb_cpu*1e3:10.3f}ms")
met = ratio <= 1.0
print(f"CPU per probe: {ratio:.2f}x blackbox_exporter's (target <= 1.0x) {'met' if met else 'NOT MET'}")

# The burst: half healthy, half silent, each scrape with a 1 s time-out.
silent = f"/probe?target=127.0.0.2:{mw_port}"
def one(i):
    path = tv_path if i % 2 == 0 else silent
    try:
        code, body, seconds = get(tv_port, path, timeout=1)
    except OSError as e:
        return ("error", str(e), 0)
    return (code, body, seconds)
start = time.perf_counter()
with concurrent.futures.ThreadPoolExecutor(max_workers=burst) as pool:
    results = list(pool.map(one, range(burst)))
took = time.perf_counter() - start
answered = sum(1 for c, _, s in results if c == 200 and s <= 1.0)
busy = sum(1 for c, _, _ in results if c == 503)
late = [r for r in results if not ((r[0] == 200 and r[2] <= 1.0) or r[0] == 503)]
print(f"burst of {burst}: {answered} answered within the 1 s time-out, {busy} answered 503, "
      f"{len(late)} late or broken; {took:.2f} s in all")
print(f"after it: tallyvox RSS {status(tv_pid, 'VmRSS:') / 1024:.1f} MB "
      f"(peak {status(tv_pid, 'VmHWM:') / 1024:.1f} MB), {fds(tv_pid)} descriptors; "
      f"blackbox RSS {status(bb_pid, 'VmRSS:') / 1024:.1f} MB")
if late:
    print("late or broken:", late[:3])
sys.exit(0 if met and not late else 1)
PY
