# shellcheck shell=bash
# Sourced by the scripts that run against a throwaway Ceph S3 gateway and nginx on 127.0.0.1.
# Makes their folder $work, and on exit stops them (by PID) and removes it.
# start_servers ON_FAILURE starts both and exports where they listen (TQBLK_TEST_*); where one
# does not start, it runs ON_FAILURE with the reason.
servers=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d /tmp/tqblk-remote.XXXXXX)
chmod 755 "$work"  # nginx's workers (user nobody) read the files under it
stop_servers() {
  bash "$servers/ceph-cluster.sh" stop "$work/ceph" >/dev/null 2>&1 || true
  bash "$servers/nginx.sh" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop_servers EXIT
trap 'exit 1' INT TERM  # so that stop_servers runs on these too

start_servers() {
  local fail=$1 ceph_out nginx_out
  ceph_out=$(bash "$servers/ceph-cluster.sh" start "$work/ceph") || "$fail" "the Ceph cluster did not start"
  nginx_out=$(bash "$servers/nginx.sh" start "$work/nginx") || "$fail" "nginx did not start"
  field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }
  export TQBLK_TEST_S3_ENDPOINT=$(field endpoint "$ceph_out")
  export TQBLK_TEST_S3_ACCESS=tqblktestaccess
  export TQBLK_TEST_S3_SECRET=tqblktestsecret0123456789
  export TQBLK_TEST_CEPH_SCRIPT="$servers/ceph-cluster.sh" TQBLK_TEST_CEPH_DIR="$work/ceph"
  export TQBLK_TEST_HTTP=$(field http "$nginx_out") TQBLK_TEST_HTTPS=$(field https "$nginx_out")
  export TQBLK_TEST_CACERT=$(field cacert "$nginx_out") TQBLK_TEST_WWW=$(field www "$nginx_out")
  export TQBLK_TEST_NGINX_SCRIPT="$servers/nginx.sh" TQBLK_TEST_NGINX_DIR="$work/nginx"
  unset AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_SESSION_TOKEN AWS_PROFILE AWS_ENDPOINT_URL
}
