#!/usr/bin/env bash
# Peak resident memory of `tallyvox --headless` over 10,000 probes: 111 ticked
# rows against healthy mwserver listeners on 127.0.7.1-111, a real audit
# table, polling every 200 ms. Prints VmHWM (peak) and VmRSS every 1,000
# probes; the target is at most 20 MB and flat.
source "$(dirname "$0")/headless.bash"
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

port=$(free_port 127.0.7.1)
"$bin/tools/mwserver" --quiet --idle-timeout 30 --listen "127.0.7.1-127.0.7.111:$port" >"$work/mw.log" 2>&1 &
mw=$!
wait_for_mwserver
"$bin/tools/dbetool" create "$work/config.dbf"

{
  printf '[polling]\ninterval = "200"\nprobe_port = %s\n' "$port"
  printf '[audit]\nfolder = "%s"\n[roster]\nrows = [\n' "$work"
  for row in $(seq 111); do printf '  { address = "127.0.7.%s", enabled = true },\n' "$row"; done
  printf ']\n'
} >"$work/tallyvox.toml"

"$bin/app/tallyvox" --headless --config "$work/tallyvox.toml" >"$work/out.log" 2>&1 &
tv=$!
next=1000
deadline=$((SECONDS + 600))
while ((SECONDS < deadline)); do
  done_probes=$(grep -c ": OK " "$work/out.log" || true)
  if ((done_probes >= next)); then
    hwm=$(awk '/VmHWM/ {print $2}' "/proc/$tv/status")
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$tv/status")
    printf 'tallyvox --headless after %5d probes: peak RSS %6.1f MB, RSS %6.1f MB\n' \
      "$done_probes" "$(mb "$hwm")" "$(mb "$rss")"
    next=$((next + 1000))
    ((done_probes >= probes)) && break
  fi
  if grep -q "Problem\|error:" "$work/out.log"; then
    echo "monitor_rss: a probe failed:" >&2
    grep -m3 "Problem\|error:" "$work/out.log" >&2
    exit 1
  fi
  sleep 0.2
done
((done_probes >= probes)) || { echo "monitor_rss: only $done_probes probes in time" >&2; exit 1; }
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$tv/status")
if ((hwm <= 20 * 1024)); then verdict=OK; else verdict="ABOVE TARGET"; fi
printf 'peak RSS over %d probes: %.1f MB (target: at most 20 MB) %s\n' "$done_probes" \
  "$(mb "$hwm")" "$verdict"
