# Sourced by the bench scripts: an rsync daemon on 127.0.0.1 that takes the
# comparison copies into one module, "dest".
#   start_rsync_daemon WORK PORT   - serves WORK/rsync-dest on PORT, logs to
#                                    WORK/rsyncd.log; sets rsync_pid
#   stop_rsync_daemon              - stops it and waits for it to end
rsync_pid=

start_rsync_daemon() {
  local work=$1 port=$2
  mkdir -p "$work/rsync-dest"
  cat >"$work/rsyncd.conf" <<CONF
use chroot = no
[dest]
  path = $work/rsync-dest
  read only = no
  uid = $(id -u)
  gid = $(id -g)
CONF
  rsync --daemon --no-detach --config="$work/rsyncd.conf" --address=127.0.0.1 \
    --port="$port" --log-file="$work/rsyncd.log" &
  rsync_pid=$!
  for _ in $(seq 100); do
    rsync "rsync://127.0.0.1:$port/" >/dev/null 2>&1 && return
    sleep 0.05
  done
  echo "the rsync daemon did not start" >&2
  exit 1
}

stop_rsync_daemon() {
  [ -n "$rsync_pid" ] || return 0
  kill -TERM "$rsync_pid" 2>/dev/null || true
  wait "$rsync_pid" 2>/dev/null || true
  rsync_pid=
}
