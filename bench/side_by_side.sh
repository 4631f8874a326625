#!/usr/bin/env bash
# side_by_side.sh: the fastest peer and jitterform-cli in alternating rounds, so that both see the
# same machine at the same time: the peer on its 100 MB file (through ../shared/peers/bench.py),
# then jitterform-cli on a fresh copy of the ~1 GB LF file, rewritten as a user's run rewrites it
# (the copy is made and synced before the clock starts).
#
#   bench/side_by_side.sh                       # 3 rounds against "blender data"
#   bench/side_by_side.sh --rounds 5 --peer "open3d (read_triangle_model)"
#
# Needs the peers installed and their 100 MB input made (bench/run_bench.sh --peers-only does
# both) and the 1 GB input (bench/run_bench.sh makes it). Environment: BENCH_DIR, BUILD_DIR,
# PEERS_DIR and CLI as for run_bench.sh.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

ROUNDS=3
PEER="blender data"
while (($#)); do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --peer) PEER="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "side_by_side.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree ""
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench}"
SMALL="$BENCH_DIR/peers/terrain_100mb.obj"
LF="$BENCH_DIR/mesh-1g.obj"
for f in "$SMALL" "$LF"; do
  [ -s "$f" ] || { echo "side_by_side.sh: $f is missing (see --help)" >&2; exit 1; }
done
[ -n "${CLI:-}" ] || build_release "$BUILD_DIR" OFF jitterform-cli
CLI="${CLI:-$BUILD_DIR/cli/jitterform-cli}"
WORK="$(mktemp -d "$BENCH_DIR/side-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
TSV="$BENCH_DIR/side-$(date +%Y%m%d-%H%M%S).tsv"
printf 'round\twhat\tbytes\twall_s\n' >"$TSV"

for ((r = 1; r <= ROUNDS; r++)); do
  # The peers run with the system's PATH, as run_peers.sh runs them (Blender's own Python needs it).
  PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" BENCH_DIR="$BENCH_DIR/peers" \
    python3 "$PEERS_DIR/bench.py" --runs 1 --only "$PEER" --results "$WORK/peer.tsv" "$SMALL" >/dev/null
  peer_s=$(awk -F'\t' 'NR == 2 && $5 == 0 { print $6 }' "$WORK/peer.tsv")
  [ -n "$peer_s" ] || { echo "side_by_side.sh: the peer failed" >&2; cat "$WORK/peer.tsv" >&2; exit 1; }
  printf '%d\t%s\t%d\t%s\n' "$r" "$PEER" "$(stat -c %s "$SMALL")" "$peer_s" >>"$TSV"

  cp "$LF" "$WORK/source.obj"; sync
  start=$(date +%s.%N)
  "$CLI" -q --day 45000 -f "$WORK/source.obj" "$WORK/destination.obj"
  end=$(date +%s.%N)
  rm -f "$WORK/destination.obj"
  printf '%d\tjitterform-cli, LF rewritten\t%d\t%s\n' "$r" "$(stat -c %s "$LF")" \
    "$(echo "$end - $start" | bc -l)" >>"$TSV"
  echo "round $r done" >&2
done

python3 - "$TSV" "$PEER" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
speed = {}
for _, what, size, wall in rows:
    speed.setdefault(what, []).append(int(size) / float(wall) / 1e6)
print("| what | runs | MB/s, each round | median MB/s |")
print("|---|---|---|---|")
for what, s in speed.items():
    print("| %s | %d | %s | %.1f |" % (what, len(s), ", ".join("%.1f" % x for x in s), statistics.median(s)))
ours = statistics.median(speed["jitterform-cli, LF rewritten"])
print("\njitterform-cli, rewritten, against %s: %.1f times as fast (median of each)."
      % (sys.argv[2], ours / statistics.median(speed[sys.argv[2]])))
EOF
echo "Every run: $TSV" >&2
