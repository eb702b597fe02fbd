#!/usr/bin/env bash
# A local RTMP server for tests and for trying the engine by hand: nginx with
# Debian's RTMP module (packages nginx and libnginx-mod-rtmp), listening on
# 127.0.0.1 only, recording every published stream.
#
#   rtmp-server.sh start PORT RECORD_DIR
#       Starts nginx in a fresh temporary prefix and prints that prefix (one
#       line) once the server accepts connections; nothing else is printed but
#       errors. Publish to rtmp://127.0.0.1:PORT/live/NAME; the recording of
#       each stream goes to RECORD_DIR/NAME.flv (created if missing). The
#       worker runs as the user who started the script, so the folder needs no
#       wider rights. The master's PID is in PREFIX/master.pid, its logs in
#       PREFIX/logs/.
#   rtmp-server.sh stop PREFIX
#       Stops that server gracefully (kill -QUIT on the master PID, which also
#       finishes the recordings); when publishers keep it busy for 3 s, with
#       the fast stop (TERM), and after 2 s more by killing the master and its
#       workers. Removes PREFIX.
#
# Exit status: 0 on success; 1 with a message on standard error otherwise.
set -euo pipefail

module=/usr/lib/nginx/modules/ngx_rtmp_module.so

die() {
  echo "rtmp-server: $*" >&2
  exit 1
}

listening() {
  # Bash's /dev/tcp connects and closes at once.
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start() {
  local port="$1" record_dir="$2"
  [[ "$port" =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || die "bad port '$port'"
  command -v nginx >/dev/null || die "nginx is not installed (apt-get install nginx libnginx-mod-rtmp)"
  [[ -f "$module" ]] || die "$module is missing (apt-get install libnginx-mod-rtmp)"
  if listening "$port"; then
    die "port $port is already in use"
  fi
  mkdir -p "$record_dir" || die "cannot create $record_dir"
  record_dir="$(cd "$record_dir" && pwd)"

  local prefix
  prefix="$(mktemp -d "${TMPDIR:-/tmp}/plenova-rtmp.XXXXXX")"
  mkdir -p "$prefix/logs"
  chmod 0755 "$prefix"
  cat >"$prefix/nginx.conf" <<EOF
daemon off;
master_process on;
user $(id -un) $(id -gn);
worker_processes 1;
pid $prefix/logs/nginx.pid;
error_log $prefix/logs/error.log warn;
load_module $module;

events {
  worker_connections 64;
}

rtmp {
  access_log $prefix/logs/access.log;
  server {
    listen 127.0.0.1:$port;
    chunk_size 4096;
    application live {
      live on;
      record all;
      record_path $record_dir;
      record_suffix .flv;
    }
  }
}
EOF
  # In the foreground of a background job, so that $! is the master itself.
  nginx -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/logs/error.log" \
    </dev/null >"$prefix/logs/stdout.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$prefix/master.pid"

  local i
  for ((i = 0; i < 100; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$prefix/logs/error.log" "$prefix/logs/stdout.log" >&2 2>/dev/null || true
      rm -rf "$prefix"
      die "nginx exited at start"
    fi
    if listening "$port"; then
      echo "$prefix"
      return 0
    fi
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$prefix"
  die "nginx did not listen on 127.0.0.1:$port within 5 s"
}

# Waits up to $2 tenths of a second for process $1 to end; false if it lives.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  ! kill -0 "$1" 2>/dev/null
}

stop() {
  local prefix="$1"
  [[ -f "$prefix/master.pid" ]] || die "no server in '$prefix'"
  local pid workers
  pid="$(cat "$prefix/master.pid")"
  workers="$(ps -o pid= --ppid "$pid" 2>/dev/null || true)"
  # Graceful first; a graceful stop waits for publishers to leave, so a
  # server with live streams gets the fast stop, then the kill.
  if kill -QUIT "$pid" 2>/dev/null && ! wait_gone "$pid" 30; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_gone "$pid" 20; then
      echo "rtmp-server: nginx $pid did not stop, killing it" >&2
      # shellcheck disable=SC2086
      kill -KILL "$pid" $workers 2>/dev/null || true
    fi
  fi
  rm -rf "$prefix"
}

case "${1:-}" in
  start)
    (($# == 3)) || die "usage: $0 start PORT RECORD_DIR"
    start "$2" "$3"
    ;;
  stop)
    (($# == 2)) || die "usage: $0 stop PREFIX"
    stop "$2"
    ;;
  *)
    die "usage: $0 start PORT RECORD_DIR | stop PREFIX"
    ;;
esac
