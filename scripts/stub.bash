# Sourced by scripts/demo, scripts/soak and tests/check-cost. start_stub
# STUB: starts that nalt-stub on a free loopback port, exports NALT_HOST and
# NALT_PORT for naltctl, and stops the stub when the script exits.
start_stub() {
  stub_log=$(mktemp)
  NALT_HOST=127.0.0.1 NALT_PORT=0 "$1" >"$stub_log" &
  stub_pid=$!
  trap 'kill "$stub_pid" 2>/dev/null; wait "$stub_pid" 2>/dev/null; rm -f "$stub_log"' EXIT
  local port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^nalt-stub listening on .*:\([0-9]*\)\r*$/\1/p' "$stub_log")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "nalt-stub did not start" >&2; cat "$stub_log" >&2; exit 1; }
  export NALT_HOST=127.0.0.1 NALT_PORT=$port
}
