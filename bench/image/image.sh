#!/usr/bin/env bash
# Publishing images, measured: two Debian 12 root file system images (bench/image/
# make-images.sh builds them once) pushed as chunks to a throwaway Ceph S3 gateway, then
# recalled through the emulator from their manifests and, for comparison, from the raw images
# as single objects. Prints three tables:
#   stored   per image and for the pair: raw bytes, non-zero bytes (whole non-zero extents),
#            bytes stored in the gateway, and how much of the non-zero bytes compression and
#            deduplication (identical extents stored once) each take away;
#   push     tqblk-image push MiB/s (image bytes over wall time) against its floor: zstd -T0 -3
#            and sha256sum of the same image run at once (the floor's time is theirs together;
#            measured before and after the push, the faster kept);
#   road     MiB/s a whole-device read gets with tqblk-recalld's source the raw object vs the
#            manifest (same workers, same machine, one run each), with the bytes the gateway
#            sent, read from its own counters; every byte read is checked against the image.
# Then tqblk-image verify of every manifest. Run by hand as root, never in CI; the figures
# are noisy where the machine is shared.
#
#   bench/image/image.sh [--build DIR] [EXTENT-SIZE...]    (default: 1M 64K; the road: the first)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tests/remote/servers.sh
source "$here/../../tests/remote/servers.sh"
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(1M 64K)
tool=$build/tools/image/tqblk-image
reader=$build/bench/road/bench_remote
workers=4
failed() { echo "image bench: $*" >&2; exit 1; }
[[ -x $tool && -x $reader ]] || failed "build tqblk-image and bench_remote in $build first"

mapfile -t images < <("$here/make-images.sh")
[[ ${#images[@]} -eq 2 ]] || failed "make-images.sh did not make the two images"
start_ceph failed
export AWS_ACCESS_KEY_ID=$TQBLK_TEST_S3_ACCESS AWS_SECRET_ACCESS_KEY=$TQBLK_TEST_S3_SECRET
export AWS_ENDPOINT_URL=$TQBLK_TEST_S3_ENDPOINT
conf=$work/ceph/ceph.conf

s3() {  # curl arguments...: one signed request
  curl -sSf --aws-sigv4 aws:amz:us-east-1:s3 --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" \
    -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"
}
bucket() { s3 -o /dev/null -X PUT "$AWS_ENDPOINT_URL/$1"; }
stored() {  # bucket: bytes of its objects
  radosgw-admin -c "$conf" bucket stats --bucket "$1" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["usage"].get("rgw.main",{}).get("size",0))'
}
sent() {  # bytes of object bodies the gateway has sent so far
  ceph --admin-daemon "$work/ceph/run/client.rgw.asok" perf dump |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["rgw"]["get_b"])'
}
now() { date +%s.%N; }
mib_per_s() { python3 -c "print(f'{$1 / 1048576 / ($3 - $2):.1f}')"; }
name() { basename "$1" .img; }
floor() {  # image, its bytes: MiB/s of zstd -T0 -3 and sha256sum run at once
  local t0 z h
  t0=$(now)
  zstd -q -T0 -3 -c "$1" >/dev/null &
  z=$!
  sha256sum "$1" >/dev/null &
  h=$!
  wait "$z"
  wait "$h"
  mib_per_s "$2" "$t0" "$(now)"
}

out=$work/results
mkdir -p "$out"
touch "$out"/{stored,push,road,verify}
for size in "${sizes[@]}"; do
  tag=${size,,}
  pair=pair-$tag
  bucket "$pair"
  for img in "${images[@]}"; do
    n=$(name "$img")
    alone=$n-$tag
    bucket "$alone"
    cat "$img" >/dev/null  # the push and its floor both read from the page cache
    bytes=$(stat -c %s "$img")
    before=$(floor "$img" "$bytes")
    echo "pushing $n with $size extents" >&2
    t0=$(now)
    "$tool" push "$img" "s3://$alone" --extent-size "$size" --name "$n" >&2
    t1=$(now)
    after=$(floor "$img" "$bytes")
    "$tool" push "$img" "s3://$pair" --extent-size "$size" --name "$n" >/dev/null
    best=$(python3 -c "print(max($before, $after))")
    echo "$n $size $(mib_per_s "$bytes" "$t0" "$t1") $best" >>"$out/push"
    s3 -o "$out/$n-$tag.manifest" "$AWS_ENDPOINT_URL/$pair/manifests/$n"
    echo "$n $size $bytes $(stored "$alone") $out/$n-$tag.manifest" >>"$out/stored"
  done
  echo "pair $size - $(stored "$pair") -" >>"$out/stored"
  for img in "${images[@]}"; do
    n=$(name "$img")
    if "$tool" verify "s3://$pair/manifests/$n" >"$out/verify-$n-$tag" 2>&1; then
      echo "$n $size ok" >>"$out/verify"
    else
      echo "$n $size FAILED: $(tail -n 1 "$out/verify-$n-$tag")" >>"$out/verify"
    fi
  done
done

# The road, for the first extent size: the raw image as one object, then the manifest.
size=${sizes[0]}
extent=$(numfmt --from=iec "$size")
bucket raw
for img in "${images[@]}"; do
  n=$(name "$img")
  s3 -o /dev/null -T "$img" "$AWS_ENDPOINT_URL/raw/$n"
  for kind in raw manifest; do
    source=s3://raw/$n
    [[ $kind == raw ]] || source=manifest+s3://pair-${size,,}/manifests/$n
    echo "reading $n from $source" >&2
    before=$(sent)
    line=$("$reader" --source "$source" --image "$img" --extent-size "$extent" --workers "$workers")
    echo "$n $kind $(field mibps "$line") $(($(sent) - before))" >>"$out/road"
  done
  s3 -o /dev/null -X DELETE "$AWS_ENDPOINT_URL/raw/$n"
done

python3 - "$out" "$workers" "$size" <<'EOF'
import collections, sys
out, workers, road_size = sys.argv[1], sys.argv[2], sys.argv[3]
MiB = 1048576

def manifest(path):
    """extent size and, per non-zero extent, (digest, chunk bytes)"""
    lines = open(path).read().split("\n")
    extent = int(next(l.split()[1] for l in lines if l.startswith("extent-size ")))
    chunks = [tuple(l.split()) for l in lines[5:] if len(l.split()) == 2 and len(l.split()[0]) == 64]
    return extent, [(d, int(s)) for d, s in chunks]

def shares(extent, chunks):
    """non-zero bytes, and the shares of them compression and deduplication take away"""
    nonzero = extent * len(chunks)
    unique = dict(chunks)
    dedup = nonzero - extent * len(unique)
    compression = extent * len(unique) - sum(unique.values())
    return nonzero, 100 * compression / nonzero, 100 * dedup / nonzero

print("\nstored: MiB; share = stored / non-zero; compression and dedup: % of non-zero bytes")
print(f"{'image':<14} {'extent':>6} {'raw':>8} {'non-zero':>9} {'stored':>8} {'share':>6} "
      f"{'compr.':>7} {'dedup':>6}")
by_size = collections.defaultdict(list)
for row in open(f"{out}/stored"):
    name, size, raw, stored, path = row.split()
    if name == "pair":
        extent = by_size[size][0][0]
        chunks = [c for _, cs, _ in by_size[size] for c in cs]
        raw = sum(r for _, _, r in by_size[size])
    else:
        extent, chunks = manifest(path)
        raw = int(raw)
        by_size[size].append((extent, chunks, raw))
    nonzero, compression, dedup = shares(extent, chunks)
    print(f"{name:<14} {size:>6} {raw / MiB:8.1f} {nonzero / MiB:9.1f} {int(stored) / MiB:8.1f} "
          f"{100 * int(stored) / nonzero:5.1f}% {compression:6.1f}% {dedup:5.1f}%")

print("\npush: MiB/s of image bytes; floor = zstd -T0 -3 and sha256sum of the image at once, "
      "the faster of two runs")
print(f"{'image':<14} {'extent':>6} {'push':>8} {'floor':>8} {'ratio':>6}")
for row in open(f"{out}/push"):
    name, size, push, floor = row.split()
    print(f"{name:<14} {size:>6} {float(push):8.1f} {float(floor):8.1f} "
          f"{100 * float(push) / float(floor):5.0f}%")

print(f"\nroad: a whole-device read through the emulator, {workers} workers and readers, "
      f"{road_size} extents; MiB/s delivered, MiB the gateway sent")
print(f"{'image':<14} {'raw MiB/s':>9} {'manifest':>9} {'ratio':>6} {'raw sent':>9} {'manifest':>9}")
road = collections.defaultdict(dict)
for row in open(f"{out}/road"):
    name, kind, rate, sent = row.split()
    road[name][kind] = (float(rate), int(sent))
for name, ways in road.items():
    (raw_rate, raw_sent), (man_rate, man_sent) = ways["raw"], ways["manifest"]
    print(f"{name:<14} {raw_rate:9.1f} {man_rate:9.1f} {man_rate / raw_rate:5.2f}x "
          f"{raw_sent / MiB:9.1f} {man_sent / MiB:9.1f}")

print("\nverify (tqblk-image verify of each manifest in the pair's root); every device read "
      "matched its image byte for byte")
for row in open(f"{out}/verify"):
    print("  " + row.rstrip())
EOF
