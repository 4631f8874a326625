#!/usr/bin/env bash
# preview_first_picture.sh: how long the preview takes to its first picture, and its peak memory,
# beside a conversion of the same file in the same run.
#
#   bench/preview_first_picture.sh [--rounds N] [--cli PATH] [MB ...]   (default: 3 rounds, 100 1000)
#
# For each size it makes (or reuses) a generated mesh of that many MB in $BENCH_DIR (default
# ../bigfiles beside the repository), then alternates, round by round:
#   convert   jitterform-cli -q -f --keep-source --day 45000 SRC DST      (the baseline)
#   preview   jitterform-cli -q -f --day 45000 --preview P.png SRC         (load, reduce, noise, render, PNG)
# and prints the median wall time and peak RSS of each, and preview / convert. The preview is in
# time when the ratio is at most 1. The page cache is warmed with cat first; nothing is synced in
# between, since neither run flushes.
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
REPO="$(cd "$HERE/.." && pwd)"
BENCH_DIR="${BENCH_DIR:-$(cd "$REPO/.." && pwd)/bigfiles}"
GEN="${PEERS_DIR:-$(cd "$REPO/.." && pwd)/shared/peers}/gen_obj.py"
rounds=3
cli=""
sizes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --cli) cli="$(realpath "$2")"; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    -*) echo "preview_first_picture.sh: unknown option $1" >&2; exit 2 ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(100 1000)
if [ -z "$cli" ]; then
  cmake -S "$REPO" -B "$REPO/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DJITTERFORM_BUILD_UI=OFF >/dev/null
  cmake --build "$REPO/build-bench" --target jitterform-cli >/dev/null
  cli="$REPO/build-bench/cli/jitterform-cli"
fi
mkdir -p "$BENCH_DIR/preview"
work="$BENCH_DIR/preview"

median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
timed() { # file-for-"seconds kb" command...
  local out="$1"; shift
  /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>&1
}

printf "%-8s %-8s %10s %12s %10s\n" "MB" "run" "median s" "peak MiB" "ratio"
for mb in "${sizes[@]}"; do
  src="$BENCH_DIR/mesh-${mb}m.obj"
  [ "$mb" = 1000 ] && [ -e "$BENCH_DIR/mesh-1g.obj" ] && src="$BENCH_DIR/mesh-1g.obj"
  [ -e "$src" ] || python3 "$GEN" --mb "$mb" "$src" >/dev/null
  cat "$src" >/dev/null
  : >"$work/convert.txt"; : >"$work/preview.txt"
  for ((r = 0; r < rounds; r++)); do
    timed "$work/t" "$cli" -q -f --keep-source --day 45000 "$src" "$work/out.obj"; cat "$work/t" >>"$work/convert.txt"
    timed "$work/t" "$cli" -q -f --day 45000 --preview "$work/p.png" "$src"; cat "$work/t" >>"$work/preview.txt"
  done
  rm -f "$work/out.obj"
  c=$(cut -d' ' -f1 "$work/convert.txt" | median); cm=$(cut -d' ' -f2 "$work/convert.txt" | median)
  p=$(cut -d' ' -f1 "$work/preview.txt" | median); pm=$(cut -d' ' -f2 "$work/preview.txt" | median)
  printf "%-8s %-8s %10.2f %12.1f %10s\n" "$mb" convert "$c" "$(echo "$cm / 1024" | bc -l)" ""
  printf "%-8s %-8s %10.2f %12.1f %10.2f\n" "$mb" preview "$p" "$(echo "$pm / 1024" | bc -l)" \
         "$(echo "$p / $c" | bc -l)"
done
