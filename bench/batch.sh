#!/usr/bin/env bash
# batch.sh: many files in one call of jitterform-cli against the same files converted by one call
# each, one after another, in alternating rounds of the same run.
#
#   bench/batch.sh                      # 16 files of 64 MB, 3 rounds
#   bench/batch.sh --files 8 --mb 32 --rounds 5
#
# Options:
#   --files N    how many sources (default 16), made once with gen_obj.py (a seed each) and kept
#   --mb N       size of each in MB (default 64)
#   --rounds N   rounds; each times the three ways once, in an order that turns from round to round
#   --no-build   use the existing build in $BUILD_DIR
#   --no-wait    start each run at once; by default a run waits until the machine is quiet
# Environment: BENCH_DIR, BUILD_DIR (default: build-bench-batch in the repo), PEERS_DIR, CLI.
#
# The three ways, each with --keep-source (the sources stay as they are, so every run reads the
# same bytes), -f, a fixed --day, and outputs in a folder of their own:
#   one by one   a shell loop: jitterform-cli SRC DST for each file
#   -j 1         jitterform-cli -j 1 -o DIR SRC...   (one file at a time, in one process)
#   default -j   jitterform-cli -o DIR SRC...        (as many files at once as there are cores)
# The outputs of the three must be byte-identical (checked after the first round). Dirty pages are
# written back (sync) before each timed run, outside the timed region. Wall time and peak RSS (the
# largest process: one file's run, or the whole batch) are medians over the rounds; "one by one /
# row" above 1 means the row is faster than the loop.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
FILES=16; MB=64; ROUNDS=3; BUILD=1; WAIT_QUIET=1
while (($#)); do
  case "$1" in
    --files) FILES="$2"; shift ;;
    --mb) MB="$2"; shift ;;
    --rounds) ROUNDS="$2"; shift ;;
    --no-build) BUILD=0 ;;
    --no-wait) WAIT_QUIET=0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "batch.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
source "$HERE/common.sh"
use_tree ""
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench-batch}"
if [ -z "${CLI:-}" ]; then
  ((BUILD)) && build_release "$BUILD_DIR" OFF jitterform-cli
  CLI="$BUILD_DIR/cli/jitterform-cli"
fi

INPUTS="$BENCH_DIR/batch-${FILES}x${MB}"
OUT="$BENCH_DIR/batch-out"
mkdir -p "$INPUTS"
sources=()
for ((i = 0; i < FILES; i++)); do
  f="$INPUTS/mesh_$(printf %02d "$i").obj"
  [ -s "$f" ] || python3 "$PEERS_DIR/gen_obj.py" --mb "$MB" --seed "$((i + 1))" "$f" >/dev/null
  sources+=("$f")
done
cat "${sources[@]}" >/dev/null # a warm page cache for every way alike
BYTES=$(stat -c %s "${sources[@]}" | awk '{t += $1} END {print t}')

OPTS=(-q --keep-source -f --day 45000)
one_by_one() {
  for f in "${sources[@]}"; do "$CLI" "${OPTS[@]}" "$f" "$OUT/one/$(basename "${f%.obj}")_n.obj"; done
}
way() { # name -> runs it once, writing into $OUT/<folder>
  case "$1" in
    one) one_by_one ;;
    j1) "$CLI" "${OPTS[@]}" -j 1 -o "$OUT/j1" "${sources[@]}" ;;
    jd) "$CLI" "${OPTS[@]}" -o "$OUT/jd" "${sources[@]}" ;;
  esac
}
export -f one_by_one way
export CLI OUT
ways=(one j1 jd)
declare -A label=([one]="one by one" [j1]="-j 1" [jd]="default -j ($(nproc) cores)")
TSV="$BENCH_DIR/batch-runs.tsv"
[ -s "$TSV" ] || printf 'date\ttree\tway\tround\twall_s\tpeak_kib\tload\n' >"$TSV"
echo "tree $TREE; $FILES files of $MB MB; load before: $(load_now)" >&2

declare -A walls peaks
for ((r = 0; r < ROUNDS; r++)); do
  for ((k = 0; k < 3; k++)); do
    w="${ways[$(((k + r) % 3))]}"
    rm -rf "${OUT:?}/$w" && mkdir -p "$OUT/$w"
    sync
    ((WAIT_QUIET)) && wait_quiet >/dev/null
    stats=$( { /usr/bin/time -f '%e %M' bash -c "$(declare -p sources OPTS); way $w" ; } 2>&1 | tail -1)
    read -r wall peak <<<"$stats"
    walls[$w]+="$wall "; peaks[$w]+="$peak "
    printf '%s\t%s\t%s\t%d\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$TREE" "$w" "$r" "$wall" "$peak" "$(load_now)" >>"$TSV"
  done
  if ((r == 0)); then
    for w in j1 jd; do
      diff <(cd "$OUT/one" && sha256sum -- *) <(cd "$OUT/$w" && sha256sum -- *) >/dev/null ||
        { echo "batch.sh: the outputs of ${label[$w]} differ from one by one" >&2; exit 1; }
    done
  fi
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
base=$(median <<<"${walls[one]}")
echo "| way | median s | MB/s | peak RSS MiB | one by one / row |"
echo "|---|---|---|---|---|"
for w in "${ways[@]}"; do
  s=$(median <<<"${walls[$w]}"); p=$(median <<<"${peaks[$w]}")
  awk -v n="${label[$w]}" -v s="$s" -v p="$p" -v b="$base" -v mb="$((BYTES / 1000000))" \
    'BEGIN {printf "| %s | %.2f | %.1f | %.1f | %.2f |\n", n, s, mb / s, p / 1024, b / s}'
done
echo "load after: $(load_now); outputs identical; runs in $TSV" >&2
