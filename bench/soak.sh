#!/usr/bin/env bash
# Soak: `tallyvox --headless --metrics` over 10,000 probes against mwserver
# with a mix of faults, checking that resident memory and open file
# descriptors stay flat. The roster, per cycle of 111 rows:
#   rows 1-100, 108-111  healthy listeners (127.0.9.x)
#   row 101              silent: accepts, never answers (request time-out 1 s)
#   row 102              closes each connection on accept
#   row 103              answers with a server error
#   rows 104-107         refused: nobody listens (127.0.10.x)
# Every failed row mails an alert through erols, whose server refuses too.
# /metrics is scraped every 2 s meanwhile. Prints VmRSS, open descriptors
# and threads every 1,000 probes and fails when RSS grows more than 1 MB
# or the descriptors more than 3 after the first 2,000 probes.
source "$(dirname "$0")/headless.bash"

port=$(free_port 127.0.9.1)
mail_port=$(free_port 127.0.0.1)  # nothing listens there: every delivery is refused
"$bin/tools/mwserver" --quiet --idle-timeout 30 \
  --listen "127.0.9.1-127.0.9.100:$port" --listen "127.0.9.108-127.0.9.111:$port" \
  --listen "127.0.9.101:$port" --fault silent \
  --listen "127.0.9.102:$port" --fault close \
  --listen "127.0.9.103:$port" --fault error --error-text "Table ufile7 is locked" \
  >"$work/mw.log" 2>&1 &
mw=$!
wait_for_mwserver
"$bin/tools/dbetool" create "$work/config.dbf"

{
  printf '[polling]\ninterval = "200"\nprobe_port = %s\nconnect_timeout = 1\nrequest_timeout = 1\n' "$port"
  printf '[audit]\nfolder = "%s"\n' "$work"
  printf '[mail]\nport = %s\n[mail.accounts.erols]\nhost = "127.0.0.1"\nuse = true\n' "$mail_port"
  printf '[roster]\nrows = [\n'
  for row in $(seq 111); do
    if ((row >= 104 && row <= 107)); then address="127.0.10.$row"; else address="127.0.9.$row"; fi
    printf '  { address = "%s", enabled = true },\n' "$address"
  done
  printf ']\n'
} >"$work/tallyvox.toml"
chmod 600 "$work/tallyvox.toml"

"$bin/app/tallyvox" --headless --config "$work/tallyvox.toml" --metrics 127.0.0.1:0 \
  >"$work/out.log" 2>&1 &
tv=$!
for _ in $(seq 50); do grep -q "serving /metrics" "$work/out.log" && break; sleep 0.1; done
metrics_port=$(grep -o 'serving /metrics on 127.0.0.1:[0-9]*' "$work/out.log" | cut -d: -f2)

status() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$tv/status"; }
fds() { ls "/proc/$tv/fd" | wc -l; }
printf '%8s %10s %6s %8s %10s\n' probes "RSS (kB)" fds threads scrapes
next=1000
scrapes=0
last_scrape=0
first_rss=""
first_fds=""
max_rss=0
max_fds=0
deadline=$((SECONDS + 900))
while ((SECONDS < deadline)); do
  kill -0 "$tv" 2>/dev/null || { echo "soak: tallyvox ended" >&2; tail "$work/out.log" >&2; exit 1; }
  # A row's outcome line (Label18's "Problem" is no probe of its own).
  done_probes=$(grep -c -E "^[^ ]+ row [0-9]+ [^ ]*: (OK [0-9]+|Problem)" "$work/out.log" || true)
  if ((SECONDS - last_scrape >= 2)); then
    curl -sf --max-time 5 "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics.txt"
    scrapes=$((scrapes + 1))
    last_scrape=$SECONDS
  fi
  if ((done_probes >= next)); then
    rss=$(status VmRSS)
    open=$(fds)
    printf '%8d %10d %6d %8d %10d\n' "$done_probes" "$rss" "$open" "$(status Threads)" "$scrapes"
    if ((next == 2000)); then first_rss=$rss; first_fds=$open; fi
    if ((next >= 2000)); then
      ((rss > max_rss)) && max_rss=$rss
      ((open > max_fds)) && max_fds=$open
    fi
    next=$((next + 1000))
    ((done_probes >= probes)) && break
  fi
  sleep 0.2
done
((done_probes >= probes)) || { echo "soak: only $done_probes probes in time" >&2; exit 1; }

problems=$(grep -c -E "^[^ ]+ row [0-9]+ [^ ]*: Problem" "$work/out.log" || true)
alerts=$(grep -c "alert erols: FAILED" "$work/out.log" || true)
cycles=$(grep -c "^.* cycle: " "$work/out.log" || true)
printf 'soak: %d probes in %d cycles, %d failed (%d alerts refused), %d scrapes\n' \
  "$done_probes" "$cycles" "$problems" "$alerts" "$scrapes"
grep -E '^tallyvox_(cycles_total|alert_failures_total\{account="erols"\})' "$work/metrics.txt"
rss_growth=$((max_rss - first_rss))
fd_growth=$((max_fds - first_fds))
printf 'RSS after 2,000 probes %d kB, highest after %d kB (+%d kB); descriptors %d, highest %d\n' \
  "$first_rss" "$max_rss" "$rss_growth" "$first_fds" "$max_fds"
if ((rss_growth <= 1024 && fd_growth <= 3)); then
  echo "soak: RSS and open descriptors flat: OK"
else
  echo "soak: RSS or open descriptors grow: FAILED" >&2
  exit 1
fi
