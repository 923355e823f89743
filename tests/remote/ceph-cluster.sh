#!/usr/bin/env bash
# A throwaway single-node Ceph cluster with an S3 gateway, for the remote-source tests and
# benchmarks: one monitor and one in-memory OSD on 127.0.0.1, no manager, authentication off
# inside the cluster, and the RADOS Gateway (beast) on a free port with one S3 user whose
# keys are fixed. Everything lives under DIR; the daemons are stopped by the PIDs recorded.
#
#   ceph-cluster.sh start DIR    prints "endpoint=http://127.0.0.1:PORT" when S3 answers
#   ceph-cluster.sh stop DIR
#   ceph-cluster.sh stop-gateway DIR / start-gateway DIR   (the gateway alone)
#
# The S3 user's keys: access key "tqblktestaccess", secret "tqblktestsecret0123456789".
set -euo pipefail
trap 'echo "ceph-cluster: failed at line $LINENO" >&2' ERR

access_key=tqblktestaccess
secret_key=tqblktestsecret0123456789

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits up to $2 seconds for the command in $1 to succeed.
wait_for() {
  local deadline=$((SECONDS + $2))
  until eval "$1" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      return 1
    fi
    sleep 0.2
  done
}

start_daemon() {  # name, command...
  local name=$1
  shift
  "$@" >"$dir/log/$name.out" 2>&1 &
  echo $! >"$dir/pids/$name"
}

stop_daemon() {  # name
  local file="$dir/pids/$1" pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  # Throwaway daemons: killed outright, as a plain SIGTERM can hang the gateway for minutes.
  kill -9 "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  rm -f "$file"
}

start_gateway() {
  start_daemon rgw radosgw -f -c "$dir/ceph.conf" -n client.rgw
  if ! wait_for "curl -s -o /dev/null http://127.0.0.1:$(cat "$dir/rgw-port")/" 60; then
    echo "ceph-cluster: the gateway did not answer; its log:" >&2
    tail -n 30 "$dir/log/client.rgw.log" "$dir/log/rgw.out" >&2 || true
    return 1
  fi
}

start() {
  rm -rf "$dir"
  mkdir -p "$dir"/{log,pids,run,mon,osd}
  local mon_port rgw_port fsid osd_uuid
  mon_port=$(free_port)
  rgw_port=$(free_port)
  echo "$rgw_port" >"$dir/rgw-port"
  fsid=$(uuidgen)
  cat >"$dir/ceph.conf" <<CONF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
mon initial members = a
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
ms bind ipv6 = false
ms bind msgr1 = false
public addr = 127.0.0.1
run dir = $dir/run
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
pid file = $dir/run/\$name.pid
keyring = /dev/null
mon data = $dir/mon/\$id
osd data = $dir/osd/\$id
osd objectstore = memstore
memstore device bytes = 4294967296
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon warn on pool no redundancy = false
osd crush chooseleaf type = 0
paxos propose interval = 0.01
paxos min wait = 0.001
mon max pg per osd = 1000
[client.rgw]
# Responses go out at once, as a production gateway sends them: with Nagle on, a small
# object's body waits for the client's delayed ACK of its header, tens of ms per GET.
rgw frontends = beast endpoint=127.0.0.1:$rgw_port tcp_nodelay=1
rgw thread pool size = 64
CONF
  local conf=(-c "$dir/ceph.conf")
  monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null
  ceph-mon "${conf[@]}" --mkfs -i a --monmap "$dir/monmap" >"$dir/log/mkfs-mon.out" 2>&1
  start_daemon mon ceph-mon -f "${conf[@]}" -i a
  if ! wait_for "timeout 5 ceph ${conf[*]} mon stat" 30; then
    echo "ceph-cluster: the monitor did not answer" >&2
    tail -n 30 "$dir/log/mon.a.log" >&2 || true
    return 1
  fi
  osd_uuid=$(uuidgen)
  ceph "${conf[@]}" osd new "$osd_uuid" >/dev/null
  mkdir -p "$dir/osd/0"
  ceph-osd "${conf[@]}" -i 0 --mkfs --osd-uuid "$osd_uuid" >"$dir/log/mkfs-osd.out" 2>&1
  start_daemon osd ceph-osd -f "${conf[@]}" -i 0
  if ! wait_for "ceph ${conf[*]} osd stat | grep -q '1 up'" 60; then
    echo "ceph-cluster: the OSD did not come up" >&2
    tail -n 30 "$dir/log/osd.0.log" >&2 || true
    return 1
  fi
  start_gateway
  radosgw-admin "${conf[@]}" user create --uid tqblk --display-name tqblk \
    --access-key "$access_key" --secret-key "$secret_key" >/dev/null
  echo "endpoint=http://127.0.0.1:$rgw_port"
}

stop() {
  # The gateway first: it hangs while the cluster under it goes away.
  stop_daemon rgw
  stop_daemon osd
  stop_daemon mon
}

[ $# -eq 2 ] || { echo "usage: $0 start|stop|stop-gateway|start-gateway DIR" >&2; exit 2; }
dir=$(realpath -m "$2")
case "$1" in
  start) start ;;
  stop) stop ;;
  stop-gateway) stop_daemon rgw ;;
  start-gateway) start_gateway ;;
  *) echo "usage: $0 start|stop|stop-gateway|start-gateway DIR" >&2; exit 2 ;;
esac
