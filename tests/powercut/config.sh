# shellcheck shell=bash
# Sourced by the power-cut scripts: the one place that names the recall service's flags for
# each mode and the store checker.
#   powercut_mode_flags MODE           the service's flags for MODE (sync, no-sync, or evict:
#                                      sync with the store limited to 2 MiB (32 extents),
#                                      so the cut falls among evictions)
#   powercut_check_store CTL STORE IMAGE [repair]   runs it (exit codes as fsck's: 0 clean,
#                                      1 repaired, 4 problems left, 8 could not check)

powercut_mode_flags() {
  case "$1" in sync) echo "" ;; no-sync) echo "--no-sync" ;; evict) echo "--store-limit 2M" ;; esac
}

# Runs the checker on a store, comparing its extents with the image; with "repair" it also
# removes leftovers and damaged extents (they are recalled again): the store is a recall store
# and no device runs on it, so its temporary files are leftovers however young. Returns its
# exit status.
powercut_check_store() {
  local ctl=$1 store=$2 image=$3 repair=${4:-}
  if [ "$repair" = repair ]; then
    "$ctl" check-store "$store" --verify-against "$image" --kind recall --temp-age 0 \
      --repair --prune-damaged
  else
    "$ctl" check-store "$store" --verify-against "$image"
  fi
}
