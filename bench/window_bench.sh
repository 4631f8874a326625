#!/usr/bin/env bash
# window_bench.sh: builds the window program's library with the harness bench/window_bench.cpp and
# runs it offscreen on the ~1 GB LF input: the window's conversion against the command line's,
# timer lateness during the run, and Cancel latency in each phase (see the harness's header).
#
#   bench/window_bench.sh              # 3 runs of each
#   bench/window_bench.sh --runs 5
#   bench/window_bench.sh --mb 100     # on a ~100 MB input instead
#   bench/window_bench.sh --commit HEAD  # the committed tree, exported and built apart (git archive)
# Environment: BENCH_DIR, PEERS_DIR as for run_bench.sh; UI_BUILD_DIR (default build-bench-ui, or
# build-ui in the exported tree).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
RUNS=3; MB=1000; COMMIT=""
while (($#)); do
  case "$1" in
    --runs) RUNS="$2"; shift ;;
    --mb) MB="$2"; shift ;;
    --commit) COMMIT="$2"; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "window_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree "$COMMIT"
UI_BUILD_DIR="${UI_BUILD_DIR:-$REPO/build-bench-ui}"
if [ -n "$COMMIT" ]; then UI_BUILD_DIR="$SOURCE_ROOT/build-ui"; fi
mkdir -p "$BENCH_DIR"
build_release "$UI_BUILD_DIR" ON window_bench jitterform-cli

if [ "$MB" = 1000 ]; then INPUT="$BENCH_DIR/mesh-1g.obj"; else INPUT="$BENCH_DIR/mesh-${MB}m.obj"; fi
if [ ! -s "$INPUT" ]; then
  python3 "$PEERS_DIR/gen_obj.py" --mb "$MB" "$INPUT.part" >&2
  mv "$INPUT.part" "$INPUT"
fi
cat "$INPUT" >/dev/null
echo "tree: $TREE; $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC')" >&2
echo "load average before: $(load_now)" >&2
QT_QPA_PLATFORM=offscreen "$UI_BUILD_DIR/bench/window_bench" --runs "$RUNS" --cli "$UI_BUILD_DIR/cli/jitterform-cli" "$INPUT" \
  2> >(grep -v XDG_RUNTIME_DIR >&2)
echo "load average after: $(load_now)" >&2
