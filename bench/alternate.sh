#!/usr/bin/env bash
# alternate.sh: jitterform-cli of two or more trees in alternating runs on the ~1 GB LF input, so
# that every tree sees the machine as it is at the same moment. Each round runs every tree once on
# a fresh copy of the source (made and synced before the clock starts), rewritten as a user's run
# rewrites it. The first round also compares the trees' outputs byte for byte.
#
#   bench/alternate.sh afa98c8 HEAD                  # 7 rounds
#   bench/alternate.sh --rounds 15 afa98c8 ""        # "" is the working tree
#   bench/alternate.sh --options "-n -s" afa98c8 HEAD
#   bench/alternate.sh --crlf afa98c8 HEAD           # the CR LF input, already in normal form
#
# A commit is exported and built apart (as --commit does for the other scripts); the working tree
# is built in BUILD_DIR (default build-bench). The input is made by bench/run_bench.sh. Environment:
# BENCH_DIR, BUILD_DIR as for run_bench.sh.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

ROUNDS=7
OPTIONS=""
INPUT=mesh-1g.obj
trees=()
while (($#)); do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --options) OPTIONS="$2"; shift 2 ;;
    --crlf) INPUT=mesh-1g-crlf.obj; shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "alternate.sh: unknown option $1" >&2; exit 2 ;;
    *) trees+=("$1"); shift ;;
  esac
done
((${#trees[@]} >= 2)) || { echo "alternate.sh: name two trees or more (see --help)" >&2; exit 2; }

# shellcheck source=common.sh
. "$HERE/common.sh"
LF="$BENCH_DIR/$INPUT"
[ -s "$LF" ] || { echo "alternate.sh: $LF is missing (bench/run_bench.sh makes it)" >&2; exit 1; }

clis=(); names=()
for tree in "${trees[@]}"; do
  use_tree "$tree"
  if [ -z "$tree" ]; then folder="${BUILD_DIR:-$REPO/build-bench}"; else folder="$SOURCE_ROOT/build"; fi
  build_release "$folder" OFF jitterform-cli
  clis+=("$folder/cli/jitterform-cli")
  names+=("$TREE")
done

WORK="$(mktemp -d "$BENCH_DIR/alternate-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
TSV="$BENCH_DIR/alternate-$(date +%Y%m%d-%H%M%S).tsv"
printf 'round\ttree\twall_s\tuser_s\tsys_s\n' >"$TSV"
identical=yes
TIMEFORMAT='%R %U %S'
for ((r = 1; r <= ROUNDS; r++)); do
  for i in "${!clis[@]}"; do
    cp "$LF" "$WORK/source.obj"; rm -f "$WORK/destination.obj"; sync
    # shellcheck disable=SC2086
    { time "${clis[$i]}" -q --day 45000 -f $OPTIONS "$WORK/source.obj" "$WORK/destination.obj"; } 2>"$WORK/time"
    read -r wall user sys <"$WORK/time"
    printf '%d\t%s\t%s\t%s\t%s\n' "$r" "${names[$i]}" "$wall" "$user" "$sys" >>"$TSV"
    if ((r == 1)); then
      if ((i == 0)); then mv "$WORK/destination.obj" "$WORK/first.obj"
      elif ! cmp -s "$WORK/first.obj" "$WORK/destination.obj"; then identical=no; fi
    fi
  done
  echo "round $r done" >&2
done

python3 - "$TSV" "$(stat -c %s "$LF")" "$identical" "${OPTIONS:-none}" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
size = int(sys.argv[2])
runs = {}
for _, tree, wall, user, sys_s in rows:
    runs.setdefault(tree, []).append((float(wall), float(user) + float(sys_s)))
print("| tree | runs | median s (min-max) | MB/s | CPU s |")
print("|---|---|---|---|---|")
for tree, r in runs.items():
    walls = [w for w, _ in r]
    wall = statistics.median(walls)
    print("| %s | %d | %.3f (%.3f-%.3f) | %.1f | %.2f |" % (tree, len(r), wall, min(walls), max(walls),
          size / wall / 1e6, statistics.median(c for _, c in r)))
print("\nOptions: %s. Outputs of the first round byte-identical: %s." % (sys.argv[4], sys.argv[3]))
EOF
echo "Every run: $TSV" >&2
