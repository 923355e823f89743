#!/usr/bin/env bash
# The full power-cut matrix: ext4 and xfs, with the service syncing and with --no-sync, CUTS
# cuts each (default 25), then a table. Cut instants are spread over a window per file system
# and mode: ext4 2-15 s after the road starts; xfs 2-45 s in sync mode and 30-45 s without
# syncs (xfs writes back its log late, so earlier cuts rarely find anything to lose).
# Takes about 50 minutes on two cores.
#
# usage: matrix.sh [--build DIR] [--cuts N] [--results FILE] [--only FS/MODE ...]
#   --results FILE   keep the per-cut lines there (default: a temporary file); an existing file
#                    is only tabulated again when --cuts 0 is given
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=build cuts=25 results='' only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    --results) results=$2; shift 2 ;;
    --only) only+=("$2"); shift 2 ;;
    *) echo "matrix.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$results" ]; then
  results=$(mktemp)
  trap 'rm -f "$results"' EXIT
fi

cells=("ext4 sync 2-15" "xfs sync 2-45" "ext4 no-sync 2-15" "xfs no-sync 30-45")
status=0
if [ "$cuts" -gt 0 ]; then
  for cell in "${cells[@]}"; do
    read -r fs mode window <<<"$cell"
    if [ "${#only[@]}" -gt 0 ] && [[ " ${only[*]} " != *" $fs/$mode "* ]]; then continue; fi
    "$here/run-cuts.sh" --build "$build" --fs "$fs" --mode "$mode" --cuts "$cuts" \
      --window "$window" --results "$results" || status=1
  done
fi

# One row per file system and mode from the per-cut lines.
echo
awk '
  {
    delete f
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = f["fs"] " " f["mode"]
    if (!(key in cuts)) order[++rows] = key
    cuts[key]++
    damage = f["wrong"] + f["empty"] + f["stray"]
    if (damage > 0) damaged[key]++
    wrong[key] += f["wrong"] + f["stray"]; empty[key] += f["empty"]; zero[key] += f["empty_zero"]
    lost[key] += f["lost"]; answered[key] += f["answered"]
    if (f["fsck"] != "ok" || f["replay"] != "ok") fsck[key]++
    if (f["complete"] != "ok") incomplete[key]++
    if (f["checker"] != "ok" && f["checker"] != "none") checker[key]++
    if (f["result"] == "FAIL") failed[key]++
    cut_after[key] = cut_after[key] " " f["cut_after_s"]
  }
  END {
    printf "%-5s %-8s %5s %8s %6s %6s %10s %6s %6s %8s %8s %7s\n", "fs", "mode", "cuts",
      "damaged", "wrong", "empty", "(zeros)", "lost", "fsck", "restart", "checker", "FAILED"
    for (r = 1; r <= rows; ++r) {
      k = order[r]; split(k, p, " ")
      printf "%-5s %-8s %5d %8d %6d %6d %10d %6d %6d %8d %8d %7d\n", p[1], p[2], cuts[k],
        damaged[k], wrong[k], empty[k], zero[k], lost[k], fsck[k], incomplete[k], checker[k],
        failed[k]
    }
    print ""
    print "damaged: cuts that left wrong or empty extent files; wrong/empty: such files in all"
    print "((zeros): empty files of all-zero extents); lost: extents answered before the cut but"
    print "absent after it; fsck: cuts whose journal replay or fsck failed; restart: cuts after"
    print "which a restarted service did not complete the device exactly; checker: cuts where"
    print "check-store missed damage or left problems after --repair --prune-damaged (no-sync:"
    print "full-size extents of wrong bytes, which it keeps; the harness then removes them);"
    print "FAILED: cuts that broke a promise of their mode (no-sync: fsck, restart, a checker"
    print "that missed damage)."
  }' "$results"
exit "$status"
