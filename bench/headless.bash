# The common start of the benchmark scripts that run `tallyvox --headless`
# against mwserver: sourced by them (make bench runs only bench/*.sh).
# Sets bin (the build folder), probes (PROBES, 10,000 by default) and work
# (a temporary folder); the script sets mw and tv to the process ids of
# mwserver and tallyvox, which are stopped, and work removed, on exit.
set -euo pipefail
bin=${TALLYVOX_BINARY_DIR:-build}
probes=${PROBES:-10000}
work=$(mktemp -d)
mw=""
tv=""
cleanup() {
  [[ -n "$tv" ]] && kill -TERM "$tv" 2>/dev/null && wait "$tv" 2>/dev/null || true
  [[ -n "$mw" ]] && kill -TERM "$mw" 2>/dev/null && wait "$mw" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A TCP port free on the address $1 (the system's choice, let go at once).
free_port() {
  /usr/bin/python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1], 0)); print(s.getsockname()[1])' "$1"
}

# Waits (10 s at most) for mwserver's ready line in $work/mw.log.
wait_for_mwserver() {
  for _ in $(seq 100); do
    grep -q "mwserver ready" "$work/mw.log" && return 0
    sleep 0.1
  done
  cat "$work/mw.log" >&2
  return 1
}
