# Sourced by scripts/demo, scripts/soak, tests/check-cost and
# tests/check-packages. start_stub COMMAND...: starts nalt-stub (COMMAND may
# put a launcher such as Wine in front) on a free loopback port, exports
# NALT_HOST and NALT_PORT for naltctl, and stops the stub when the (sub)shell
# exits.
start_stub() {
  stub_log=$(mktemp)
  NALT_HOST=127.0.0.1 NALT_PORT=0 "$@" >"$stub_log" &
  stub_pid=$!
  trap 'kill "$stub_pid" 2>/dev/null; wait "$stub_pid" 2>/dev/null || true; rm -f "$stub_log"' EXIT
  local port=
  for _ in $(seq 200); do
    port=$(sed -n 's/^nalt-stub listening on .*:\([0-9]*\)\r*$/\1/p' "$stub_log")
    [ -n "$port" ] && break
    sleep 0.05
  done
  # A stub that names no port, or 9090 (where a real service listens), is
  # not believed: naltctl would go there.
  [[ $port =~ ^[1-9][0-9]{0,4}$ ]] && ((port <= 65535 && port != 9090)) ||
    { echo "nalt-stub did not start (port \"$port\")" >&2; cat "$stub_log" >&2; exit 1; }
  export NALT_HOST=127.0.0.1 NALT_PORT=$port
}
