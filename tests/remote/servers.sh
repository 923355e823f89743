# shellcheck shell=bash
# Sourced by the scripts that run against a throwaway Ceph S3 gateway and nginx on 127.0.0.1.
# Takes a leading "--build DIR" off the script's arguments into $build (default: the
# checkout's build), makes their folder $work, and on exit stops the servers (by PID) and
# removes it. start_servers ON_FAILURE starts both and exports where they listen
# (TQBLK_TEST_*); start_ceph and start_nginx start one each. Where one does not start, they
# run ON_FAILURE with the reason.
servers=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The sourcing script runs what is built there.
# shellcheck disable=SC2034
build="$servers/../../build"
# shellcheck disable=SC2034
if [ "${1:-}" = "--build" ]; then
  build=$2
  shift 2
fi
work=$(mktemp -d /tmp/tqblk-remote.XXXXXX)
chmod 755 "$work"  # nginx's workers (user nobody) read the files under it
stop_servers() {
  bash "$servers/ceph-cluster.sh" stop "$work/ceph" >/dev/null 2>&1 || true
  bash "$servers/nginx.sh" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop_servers EXIT
trap 'exit 1' INT TERM  # so that stop_servers runs on these too

field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

start_ceph() {
  local out
  out=$(bash "$servers/ceph-cluster.sh" start "$work/ceph") || "$1" "the Ceph cluster did not start"
  export TQBLK_TEST_S3_ENDPOINT=$(field endpoint "$out")
  export TQBLK_TEST_S3_ACCESS=tqblktestaccess
  export TQBLK_TEST_S3_SECRET=tqblktestsecret0123456789
  export TQBLK_TEST_CEPH_SCRIPT="$servers/ceph-cluster.sh" TQBLK_TEST_CEPH_DIR="$work/ceph"
  unset AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_SESSION_TOKEN AWS_PROFILE AWS_ENDPOINT_URL
}

start_nginx() {
  local out
  out=$(bash "$servers/nginx.sh" start "$work/nginx") || "$1" "nginx did not start"
  export TQBLK_TEST_HTTP=$(field http "$out") TQBLK_TEST_HTTPS=$(field https "$out")
  export TQBLK_TEST_CACERT=$(field cacert "$out") TQBLK_TEST_WWW=$(field www "$out")
  export TQBLK_TEST_NGINX_SCRIPT="$servers/nginx.sh" TQBLK_TEST_NGINX_DIR="$work/nginx"
}

start_servers() {
  start_ceph "$1"
  start_nginx "$1"
}
