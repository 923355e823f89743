# shellcheck shell=bash
# Sourced by the power-cut scripts: the one place that names the recall service's flags for
# each mode and the store checker, so they follow the tools as those change.
#   powercut_mode_flags MODE RECALLD   the service's flags for MODE (sync or no-sync)
#   powercut_has_checker CTL           whether tqblk-ctl has check-store
#   powercut_check_store CTL STORE IMAGE [repair]   runs it (exit codes as fsck's: 0 clean,
#                                      1 repaired, 4 problems left, 8 could not check)
#   powercut_sync_covers_dirs RECALLD  whether sync mode also syncs directory entries before
#                                      answering (then an answered extent must survive a cut)

powercut_has_no_sync_flag() { grep -qa -- '--no-sync' "$1"; }

powercut_mode_flags() {
  local mode=$1 recalld=$2
  if powercut_has_no_sync_flag "$recalld"; then
    case "$mode" in sync) echo "" ;; no-sync) echo "--no-sync" ;; esac
  else
    # Older service: syncs nothing unless told, and --durable syncs the extent file only.
    case "$mode" in sync) echo "--durable" ;; no-sync) echo "" ;; esac
  fi
}

powercut_sync_covers_dirs() { powercut_has_no_sync_flag "$1"; }

powercut_has_checker() { grep -qa 'check-store' "$1"; }

# Runs the checker on a store, comparing its extents with the image; with "repair" it also
# removes leftovers and damaged extents (they are recalled again). Returns its exit status.
powercut_check_store() {
  local ctl=$1 store=$2 image=$3 repair=${4:-}
  if [ "$repair" = repair ]; then
    "$ctl" check-store "$store" --verify-against "$image" --repair --prune-damaged
  else
    "$ctl" check-store "$store" --verify-against "$image"
  fi
}
