#!/usr/bin/env bash
# count_per_record.sh: heap allocations and system calls per record, from inputs of different sizes.
# What scales with the file shows in the difference; what a run pays once (start-up, buffers, the
# first long line) cancels out.
#
#   bench/count_per_record.sh            # 20 MB and 40 MB inputs, and the ~1 GB one if it is there
#   bench/count_per_record.sh --mb 50    # 50 MB and 100 MB
#   bench/count_per_record.sh --no-big   # without the ~1 GB input
#   bench/count_per_record.sh --commit HEAD   # the committed tree, exported and built apart
#
# 1. alloc_count (built from bench/alloc_count.cpp) runs the format check and the conversion over
#    the files with every allocation of the process counted, plain and with normals and quads; the
#    ~1 GB input (22 million records) shows that what grows late in a run is bounded.
# 2. strace -c -f counts the system calls of jitterform-cli over the files (a fresh LF copy each, so
#    the format check rewrites it), plain and with -n -s. Per record = difference in calls over
#    difference in lines, smallest to largest input; per MB likewise.
# Environment: BENCH_DIR, BUILD_DIR, PEERS_DIR as for run_bench.sh; ALLOC_TRACE=1 makes
# alloc_count print the call stack of every allocation after the warm mark.
# Exit status 1 when alloc_count finds allocations that grow with the file.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
MB=20; COMMIT=""; BIG=1
while (($#)); do
  case "$1" in
    --mb) MB="$2"; shift ;;
    --commit) COMMIT="$2"; shift ;;
    --no-big) BIG=0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "count_per_record.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree "$COMMIT"
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench}"
if [ -n "$COMMIT" ]; then BUILD_DIR="$SOURCE_ROOT/build"; fi
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v strace >/dev/null; then
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends strace
fi
build_release "$BUILD_DIR" OFF jitterform-cli alloc_count
CLI="$BUILD_DIR/cli/jitterform-cli"

mkdir -p "$BENCH_DIR"
SMALL="$BENCH_DIR/mesh-${MB}m.obj"; LARGE="$BENCH_DIR/mesh-$((MB * 2))m.obj"
make_input() { # file mb
  [ -s "$1" ] && return
  python3 "$PEERS_DIR/gen_obj.py" --mb "$2" "$1.part" >&2
  mv "$1.part" "$1"
}
make_input "$SMALL" "$MB"
make_input "$LARGE" $((MB * 2))
INPUTS=("$SMALL" "$LARGE")
if ((BIG)) && [ -s "$BENCH_DIR/mesh-1g.obj" ]; then INPUTS+=("$BENCH_DIR/mesh-1g.obj"); LARGE="$BENCH_DIR/mesh-1g.obj"; fi

echo "## Allocations per record"
echo
echo "Tree: $TREE."
echo
# A failed check (an allocation that scales with the file) is reported, and the system calls are
# still counted.
status=0
"$BUILD_DIR/bench/alloc_count" "${INPUTS[@]}" || status=1
echo
"$BUILD_DIR/bench/alloc_count" --normals --split "${INPUTS[@]}" || status=1
echo

WORK="$(mktemp -d "$BENCH_DIR/strace-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
# calls by name for one run of the command line: "name calls" lines
trace() { # input flags...
  local input="$1"; shift
  cp "$input" "$WORK/source.obj"
  rm -f "$WORK/destination.obj"
  strace -c -f -U name,calls -o "$WORK/strace.txt" "$CLI" -q --day 45000 -f "$@" \
    "$WORK/source.obj" "$WORK/destination.obj" >/dev/null
  awk 'NR > 2 && $1 !~ /^-/ {print $1, $2}' "$WORK/strace.txt"
}
records() { # lines, a last line without a line end included
  python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d.count(b"\n") + (0 if d.endswith(b"\n") or not d else 1))' "$1"
}
rs=$(records "$SMALL"); rl=$(records "$LARGE")
bs=$(stat -c %s "$SMALL"); bl=$(stat -c %s "$LARGE")

echo "## System calls of jitterform-cli (strace -c -f), $(date -u '+%Y-%m-%d')"
echo
echo "Inputs: $(basename "$SMALL") ($bs bytes, $rs records) and $(basename "$LARGE") ($bl bytes, $rl records), LF line ends (the source is rewritten)."
for flags in "" "-n -s"; do
  # shellcheck disable=SC2086
  trace "$SMALL" $flags >"$WORK/small.txt"
  # shellcheck disable=SC2086
  trace "$LARGE" $flags >"$WORK/large.txt"
  echo
  echo "Options: ${flags:-none}"
  echo
  echo "| system call | calls, small | calls, large | per record | per MB |"
  echo "|---|---|---|---|---|"
  join -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort "$WORK/small.txt") <(sort "$WORK/large.txt") | sort -k3,3nr |
    awk -v rs="$rs" -v rl="$rl" -v bs="$bs" -v bl="$bl" '{
      d = $3 - $2
      if (d == 0 && $1 != "total") { n++; cs += $2; next }
      printf "| %s | %d | %d | %.6f | %.2f |\n", $1, $2, $3, d / (rl - rs), d / ((bl - bs) / 1e6)
    }
    END { printf "| %d others, the same for both sizes | %d | %d | 0 | 0 |\n", n, cs, cs }'
done
exit "$status"
