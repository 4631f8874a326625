#!/usr/bin/env bash
# preview_load.sh: the preview's load of the generated meshes beside a conversion of the same file,
# in alternating rounds so that both see the same machine: preview_load (load time, one redraw of
# After, peak memory) and `jitterform-cli --keep-source` (wall time and peak memory through
# /usr/bin/time). The page cache is warmed before each file, so both read from memory.
#
#   bench/preview_load.sh                        # 3 rounds on the 100 MB and 1 GB meshes
#   bench/preview_load.sh --rounds 1 FILE...     # other files
#
# The meshes are made with ../shared/peers/gen_obj.py where missing (mesh-100m.obj, mesh-1g.obj in
# BENCH_DIR). Environment: BENCH_DIR, BUILD_DIR (default build-bench), as for run_bench.sh.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROUNDS=3
files=()
while (($#)); do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    -*) echo "preview_load.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree ""
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench}"
build_release "$BUILD_DIR" OFF preview_load jitterform-cli
if ((${#files[@]} == 0)); then
  for mb in 100 1000; do
    name="$BENCH_DIR/mesh-$([ "$mb" = 1000 ] && echo 1g || echo ${mb}m).obj"
    [ -s "$name" ] || nice -n 10 python3 "$PEERS_DIR/gen_obj.py" --mb "$mb" "$name" >/dev/null
    files+=("$name")
  done
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
echo "# $TREE; $(nproc) cores; load $(load_now)"
printf "%-16s %5s  %-10s %8s %10s  %s\n" file round what seconds "peak kB" shown
for file in "${files[@]}"; do
  cat "$file" >/dev/null
  for ((round = 1; round <= ROUNDS; round++)); do
    line=$("$BUILD_DIR/bench/preview_load" "$file")
    read -r _ seconds _ _ noise _ _ peak _ <<<"$line"
    printf "%-16s %5d  %-10s %8s %10s  %s\n" "$(basename "$file")" "$round" preview "$seconds" "$peak" \
      "${line#*peak * kB  } (redraw $noise s)"
    /usr/bin/time -f "%e %M" -o "$out/time" "$BUILD_DIR/cli/jitterform-cli" -q -f --keep-source --day 1 \
      "$file" "$out/out.obj"
    rm -f "$out/out.obj"
    read -r seconds peak <"$out/time"
    printf "%-16s %5d  %-10s %8s %10s\n" "$(basename "$file")" "$round" convert "$seconds" "$peak"
  done
done
echo "# load afterwards $(load_now)"
