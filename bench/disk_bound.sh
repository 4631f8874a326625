#!/usr/bin/env bash
# disk_bound.sh: how much of a rewritten run is the disk's. A rewritten run writes two gigabytes
# that must be on the disk before it ends: the normalised copy that replaces the source, and the
# destination. In alternating rounds on the ~1 GB LF input, this times
#   rewritten     jitterform-cli as a user runs it (the source is rewritten)
#   keep-source   the same run with --keep-source: the destination only
#   keep+copy     --keep-source with a direct, flushed dd copy of the source running beside it: the
#                 copy's writes with every other cost of the rewrite taken away
#   disk 2 GB     two direct, flushed dd copies of the source, one after the other: what the disk
#                 alone takes for the bytes a rewritten run writes
# When rewritten is close to keep+copy and to disk 2 GB, the run waits for the disk, and no change
# of the program that still writes both files durably can make it much faster.
#
#   bench/disk_bound.sh              # 5 rounds, the working tree's build in BUILD_DIR
#   bench/disk_bound.sh --rounds 9
#
# Environment: BENCH_DIR, BUILD_DIR as for run_bench.sh (which makes the input).
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

ROUNDS=5
while (($#)); do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "disk_bound.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# shellcheck source=common.sh
. "$HERE/common.sh"
LF="$BENCH_DIR/mesh-1g.obj"
[ -s "$LF" ] || { echo "disk_bound.sh: $LF is missing (bench/run_bench.sh makes it)" >&2; exit 1; }
use_tree ""
FOLDER="${BUILD_DIR:-$REPO/build-bench}"
build_release "$FOLDER" OFF jitterform-cli
CLI="$FOLDER/cli/jitterform-cli"

WORK="$(mktemp -d "$BENCH_DIR/disk-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
TSV="$BENCH_DIR/disk-$(date +%Y%m%d-%H%M%S).tsv"
printf 'round\trow\twall_s\n' >"$TSV"
copy() { dd if="$LF" of="$1" bs=2M oflag=direct conv=fsync status=none; }
convert() { "$CLI" -q --day 45000 -f "$@" "$WORK/destination.obj"; }

for ((r = 1; r <= ROUNDS; r++)); do
  for row in rewritten keep-source keep+copy "disk 2 GB"; do
    rm -f "$WORK/destination.obj" "$WORK/copy" "$WORK/copy2"
    [ "$row" = rewritten ] && cp "$LF" "$WORK/source.obj"
    sync
    start=$(date +%s.%N)
    case "$row" in
      rewritten) convert "$WORK/source.obj" ;;
      keep-source) convert --keep-source "$LF" ;;
      keep+copy) copy "$WORK/copy" & convert --keep-source "$LF"; wait ;;
      "disk 2 GB") copy "$WORK/copy"; copy "$WORK/copy2" ;;
    esac
    end=$(date +%s.%N)
    printf '%d\t%s\t%s\n' "$r" "$row" "$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')" >>"$TSV"
  done
  echo "round $r done" >&2
done

python3 - "$TSV" "$(stat -c %s "$LF")" "$TREE" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
size = int(sys.argv[2])
runs = {}
for _, row, wall in rows:
    runs.setdefault(row, []).append(float(wall))
print("| row | runs | median s (min-max) | MB/s of the source |")
print("|---|---|---|---|")
for row, walls in runs.items():
    wall = statistics.median(walls)
    print("| %s | %d | %.3f (%.3f-%.3f) | %.1f |" % (row, len(walls), wall, min(walls), max(walls),
          size / wall / 1e6))
print("\nTree: %s." % sys.argv[3])
EOF
echo "Every run: $TSV" >&2
