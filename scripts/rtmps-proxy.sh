#!/usr/bin/env bash
# A TLS front for a local RTMP server, for publishing over rtmps:// in tests
# and by hand: stunnel (Debian's stunnel4) on 127.0.0.1 with a self-signed
# certificate made for the occasion, forwarding to a plain RTMP port.
#
#   rtmps-proxy.sh start TLS_PORT RTMP_PORT
#       Starts stunnel in a fresh temporary prefix and prints that prefix
#       once it accepts connections. Publish to rtmps://127.0.0.1:TLS_PORT/...
#   rtmps-proxy.sh stop PREFIX
#       Stops it and removes PREFIX.
#
# Exit status: 0 on success; 1 with a message on standard error otherwise.
set -euo pipefail

die() {
  echo "rtmps-proxy: $*" >&2
  exit 1
}

listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start() {
  local tls_port="$1" rtmp_port="$2"
  for port in "$tls_port" "$rtmp_port"; do
    [[ "$port" =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || die "bad port '$port'"
  done
  command -v stunnel4 >/dev/null || die "stunnel4 is not installed (apt-get install stunnel4)"
  command -v openssl >/dev/null || die "openssl is not installed (apt-get install openssl)"
  if listening "$tls_port"; then
    die "port $tls_port is already in use"
  fi
  local prefix
  prefix="$(mktemp -d "${TMPDIR:-/tmp}/plenova-rtmps.XXXXXX")"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
    -keyout "$prefix/key.pem" -out "$prefix/cert.pem" >"$prefix/openssl.log" 2>&1 ||
    { cat "$prefix/openssl.log" >&2; rm -rf "$prefix"; die "no certificate"; }
  cat >"$prefix/stunnel.conf" <<CONF
foreground = yes
pid =
output = $prefix/stunnel.log
[rtmps]
accept = 127.0.0.1:$tls_port
connect = 127.0.0.1:$rtmp_port
cert = $prefix/cert.pem
key = $prefix/key.pem
CONF
  stunnel4 "$prefix/stunnel.conf" </dev/null >"$prefix/stdout.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$prefix/stunnel.pid"
  local i
  for ((i = 0; i < 100; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$prefix/stdout.log" "$prefix/stunnel.log" >&2 2>/dev/null || true
      rm -rf "$prefix"
      die "stunnel exited at start"
    fi
    if listening "$tls_port"; then
      echo "$prefix"
      return 0
    fi
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$prefix"
  die "stunnel did not listen on 127.0.0.1:$tls_port within 5 s"
}

stop() {
  local prefix="$1"
  [[ -f "$prefix/stunnel.pid" ]] || die "no proxy in '$prefix'"
  local pid i
  pid="$(cat "$prefix/stunnel.pid")"
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 30; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$prefix"
}

case "${1:-}" in
  start)
    (($# == 3)) || die "usage: $0 start TLS_PORT RTMP_PORT"
    start "$2" "$3"
    ;;
  stop)
    (($# == 2)) || die "usage: $0 stop PREFIX"
    stop "$2"
    ;;
  *)
    die "usage: $0 start TLS_PORT RTMP_PORT | stop PREFIX"
    ;;
esac
