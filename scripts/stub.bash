# Sourced by the scripts and checks that start nalt-stub (or, bench/run, a server of their own).

# usable_port PORT: whether PORT, as a test server announced it, is a port
# at all and not 9090 (where a real service listens) in any spelling.
usable_port() { [[ $1 =~ ^[1-9][0-9]{0,4}$ ]] && (($1 <= 65535 && $1 != 9090)); }
! usable_port 9090 && ! usable_port 09090 && usable_port 9091 ||
  { echo "stub.bash: usable_port lets 9090 through, or refuses 9091" >&2; exit 1; }

# start_stub COMMAND...: nalt-stub (COMMAND may put a launcher such as Wine in front) on a free
# loopback port, exports NALT_HOST and NALT_PORT for naltctl, and stops it as the (sub)shell exits.
start_stub() {
  stub_log=$(mktemp)
  NALT_HOST=127.0.0.1 NALT_PORT=0 "$@" >"$stub_log" &
  stub_pid=$!
  trap 'kill "$stub_pid" 2>/dev/null; wait "$stub_pid" 2>/dev/null || true; rm -f "$stub_log"' EXIT
  # Its first line (CR LF under Wine) within 30 s: a loaded Wine start fits, a test (60 s) outlasts.
  local port= deadline=$((SECONDS + 30))
  while [ -z "$port" ] && kill -0 "$stub_pid" 2>/dev/null && ((SECONDS < deadline)); do
    sleep 0.05
    port=$(sed -n 's/^nalt-stub listening on .*:\([0-9]*\)\r*$/\1/p' "$stub_log")
  done
  usable_port "$port" ||
    { echo "nalt-stub did not start (port \"$port\")" >&2; cat "$stub_log" >&2; exit 1; }
  export NALT_HOST=127.0.0.1 NALT_PORT=$port
}
