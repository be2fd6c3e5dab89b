#!/usr/bin/env bash
# Peak resident memory of the tallyvox window over 10,000 probes, on a
# virtual X display (Xvfb): 111 ticked rows against healthy mwserver
# listeners on 127.0.8.1-111, a real audit table, polling every 200 ms after
# "Poll" is pressed with the mouse. Prints VmHWM (peak) and VmRSS every 1,000
# probes (counted in mwserver's request log); the target is at most 80 MB
# and flat.
set -euo pipefail
bin=$(cd "${TALLYVOX_BINARY_DIR:-build}" && pwd)
probes=${PROBES:-10000}

if [[ -z "${TALLYVOX_RSS_XVFB:-}" ]]; then
  exec env -u WAYLAND_DISPLAY TALLYVOX_RSS_XVFB=1 TALLYVOX_BINARY_DIR="$bin" \
    xvfb-run -a -s "-screen 0 1140x870x24 -nolisten tcp" "$0"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
megabytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$2/status"; }

"$bin/tools/mwserver" --idle-timeout 30 --listen "127.0.8.1-127.0.8.111:0" >"$work/mw.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "mwserver ready" "$work/mw.log" && break; sleep 0.1; done
port=$(sed -n 's/^mwserver ready 127\.0\.8\.1:\([0-9]*\).*/\1/p' "$work/mw.log")
[[ -n "$port" ]] || { echo "window_rss: mwserver did not start" >&2; cat "$work/mw.log" >&2; exit 1; }
"$bin/tools/dbetool" create "$work/config.dbf" >/dev/null
{
  printf '[polling]\ninterval = "200"\nprobe_port = %s\n[audit]\nfolder = "%s"\n' "$port" "$work"
  printf '[roster]\nrows = [\n'
  for row in $(seq 111); do printf '  { address = "127.0.8.%s", enabled = true },\n' "$row"; done
  printf ']\n'
} >"$work/tallyvox.toml"

XDG_CONFIG_HOME=$work "$bin/app/tallyvox" --config "$work/tallyvox.toml" >"$work/tv.log" 2>&1 &
tv=$!
pids=("$tv" "${pids[@]}")
window=""
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --name "^Tallyvox 2.4 DBE" 2>/dev/null | head -1 || true)
  [[ -n "$window" ]] && break
  sleep 0.2
done
[[ -n "$window" ]] || { echo "window_rss: the window did not open" >&2; cat "$work/tv.log" >&2; exit 1; }
sleep 0.5
xdotool mousemove --window "$window" 48 763 click 1  # "Poll"

next=1000
done_probes=0
deadline=$((SECONDS + 900))
while ((SECONDS < deadline)); do
  done_probes=$(grep -c 'function="EXECUTE"' "$work/mw.log" || true)
  if ((done_probes >= next)); then
    printf 'tallyvox window after %5d probes: peak RSS %6.1f MB, RSS %6.1f MB\n' "$done_probes" \
      "$(megabytes "$(status_kb VmHWM "$tv")")" "$(megabytes "$(status_kb VmRSS "$tv")")"
    next=$((next + 1000))
    ((done_probes >= probes)) && break
  fi
  kill -0 "$tv" 2>/dev/null || { echo "window_rss: tallyvox ended" >&2; cat "$work/tv.log" >&2; exit 1; }
  sleep 0.5
done
((done_probes >= probes)) || { echo "window_rss: only $done_probes probes in time" >&2; exit 1; }
hwm=$(status_kb VmHWM "$tv")
if ((hwm <= 80 * 1024)); then verdict=OK; else verdict="ABOVE TARGET"; fi
printf 'peak RSS of the window over %d probes: %.1f MB (target: at most 80 MB) %s\n' \
  "$done_probes" "$(megabytes "$hwm")" "$verdict"
