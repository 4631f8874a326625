#!/usr/bin/env bash
# run_bench.sh: end-to-end throughput and peak memory of jitterform-cli, side by side with
# `cat` and the naive Python streaming script, all in one run on the same files.
#
#   bench/run_bench.sh                 # build, make (or reuse) the ~1 GB inputs, time, print a table
#   bench/run_bench.sh --big           # also a ~4.3 GB input (over 2^32 bytes) and the scaling row
#   bench/run_bench.sh --peers         # also Blender, Open3D and assimp on the 100 MB input (slow)
#   bench/run_bench.sh --window        # also the conversion from the window (offscreen)
#   bench/run_bench.sh --runs 5 --quick
#
# Options:
#   --runs N     runs per row, the median is reported (default 3, at least 3 is sensible)
#   --our-runs N runs of each jitterform-cli row (default: as --runs); cheap, so more of them steady
#                the medians on a busy machine
#   --big        add the ~4.3 GB file (needs about 15 GB of disk beyond the 1 GB inputs, and
#                several minutes); gives the 4 GB / 1 GB time ratio
#   --peers      run ../shared/peers/run_peers.sh on the 100 MB input with jitterform-cli in its
#                loop (installs Blender, Open3D, assimp from Debian the first time; minutes per peer);
#                jitterform-cli also runs there on the 1 GB input, with the peers' intensity 0.01
#   --peers-only only that, without the table above
#   --window     after the table, bench/window_bench.cpp on the same 1 GB input, offscreen: --runs
#                conversions from the window and as many from the command line, alternating, the
#                lateness of a 1 ms timer chain kept going in the window during the window's runs,
#                and how soon Cancel ends each phase (built with the window in build-bench-ui, or
#                UI_BUILD_DIR)
#   --window-only only that, without the table above
#   --quick      skip the naive script's extra rows (source rewrite, normals and quads)
#   --no-build   use the existing build in $BUILD_DIR
#   --mb N       size of the main input in MB (default 1000)
#   --no-wait    start each run at once; by default a run waits (up to QUIET_WAIT seconds, 180) until
#                the rest of the machine has used less than QUIET_CORES cores (0.2) for two seconds
#   --commit REV measure the committed tree REV (exported with git archive into $BENCH_DIR and built
#                there) instead of the working tree, e.g. while the engine is being changed
# Environment:
#   BENCH_DIR    where the inputs, outputs and results go (default: ../bigfiles beside the repo)
#   BUILD_DIR    build folder (default: build-bench in the repo), Release, tests off
#   PEERS_DIR    the shared peer scripts (default: ../shared/peers beside the repo)
#   CLI          a jitterform-cli to time instead of building one
#
# What is timed (each row: N runs, median wall time, median peak RSS):
#   cat FILE > /dev/null                    the page-cache read speed of this machine
#   cp FILE DST                             its write speed: one read and one write of the file
#   naive_stream.py IN OUT                  pass 1 + pass 2 in plain Python (the usual yardstick)
#   naive_stream.py --crlf-source ...       the same plus the rewrite of the source (our whole job)
#   naive_stream.py --normals --split-quads the same job as our -n -s row
#   jitterform-cli -q --day 45000 -f SRC DST, on
#     - a fresh copy of the LF file each run (the format check rewrites it in place)
#     - the same with --keep-source (no rewrite; the output must be byte-identical)
#     - a CR LF copy (already in normal form: the check reads it once and writes nothing)
#     - the CR LF copy with --keep-source (so the check's own cost is the difference)
#     - the LF copy with -n -s (normals noised, quads split)
#     - the LF copy, plain and with -n -s, with --threads 0 (no helper thread: the single-threaded
#       path, whose output must be byte-identical to the default's)
# Copies are made, and the page cache is written back (sync), before each timed run, outside the
# timed region, so that no run pays for the previous one's dirty pages. Inputs are read once with cat
# beforehand so that all rows start from a warm page cache. The machine is shared: the load average
# before and after is printed, and the spread of the runs is kept in the TSV beside the table, with
# the CPU time that the rest of the machine used during each run ("others' CPU s": all busy time
# less the row's own); a run beside a busy neighbour shows there, even when the load average lags.
#
# MB/s = input bytes / 10^6 / median wall seconds; CPU s = user + system time (median), which
# contention on a shared machine inflates less than the wall time; sys s is the kernel's share of it
# (page cache, reclaim, writing back), which grows when the files no longer fit in the dirty limit. "time / cat" is how many times
# cat's time the row takes on its input; "speed / naive" is the row's MB/s over the naive script's
# plain run, "same job" over the naive row that does the same work (the rewrite; normals and quads).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
RUNS=3; OUR_RUNS=""; WAIT_QUIET=1; BIG=0; PEERS=0; WINDOW=0; QUICK=0; BUILD=1; MB=1000; COMMIT=""
while (($#)); do
  case "$1" in
    --runs) RUNS="$2"; shift ;;
    --our-runs) OUR_RUNS="$2"; shift ;;
    --big) BIG=1 ;;
    --peers) PEERS=1 ;;
    --peers-only) PEERS=2 ;;
    --window) WINDOW=1 ;;
    --window-only) WINDOW=2 ;;
    --quick) QUICK=1 ;;
    --no-build) BUILD=0 ;;
    --mb) MB="$2"; shift ;;
    --commit) COMMIT="$2"; shift ;;
    --no-wait) WAIT_QUIET=0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "run_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

# shellcheck source=common.sh
. "$HERE/common.sh"
need_pkg /usr/bin/time time python3 python3
use_tree "$COMMIT"
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench}"
if [ -n "$COMMIT" ]; then BUILD_DIR="$SOURCE_ROOT/build"; fi
if ((BUILD)) && [ -z "${CLI:-}" ] && ((PEERS < 2 && WINDOW < 2)); then
  build_release "$BUILD_DIR" OFF jitterform-cli
fi
CLI="${CLI:-$BUILD_DIR/cli/jitterform-cli}"
NAIVE="$PEERS_DIR/naive_stream.py"

LF="$(make_input "$MB")"
if ((PEERS < 2 && WINDOW < 2)); then
CRLF="$(make_input "$MB" --crlf)"
((BIG)) && BIGF="$(make_input 4300)"

WORK="$BENCH_DIR/work"; mkdir -p "$WORK"
SRC="$WORK/source.obj"; DST="$WORK/destination.obj"; REF="$WORK/reference.obj"
TSV="$BENCH_DIR/runs-$(date +%Y%m%d-%H%M%S).tsv"
printf 'row\tinput\tbytes\trun\trc\twall_s\tcpu_s\tpeak_rss_kib\tsys_s\tload1\tothers_cpu_s\tquiet_cores_before\n' >"$TSV"
cleanup() { rm -f "$SRC" "$DST" "$REF"-* "$SRC".tmp "$WORK/time.txt" "$WORK/stderr.txt"; rmdir "$WORK" 2>/dev/null || true; }
trap cleanup EXIT

# One row: NAME INPUT PREPARE CMD...; PREPARE is "copy" (fresh copy of INPUT as $SRC) or "none".
# {src} and {dst} in CMD are replaced. Keeps the medians of wall time, CPU time and peak RSS.
declare -A ROW_S ROW_CPU ROW_SYS ROW_KIB ROW_BYTES ROW_OTHERS
# The first run's output of a row in SAVE_REF is kept under its key; a row in CMP_REF compares its
# first run's output with the kept one of its key, and IDENT holds the answer.
declare -A SAVE_REF CMP_REF IDENT
ORDER=()
time_row() {
  local name="$1" input="$2" prepare="$3"; shift 3
  local bytes walls=() cpus=() syss=() rsss=() otherss=() r
  bytes=$(stat -c %s "$input")
  local runs="$RUNS"
  [[ "$name" == jitterform* ]] && runs="${OUR_RUNS:-$RUNS}"
  for ((r = 1; r <= runs; r++)); do
    rm -f "$DST"
    [ "$prepare" = copy ] && cp --reflink=auto "$input" "$SRC"
    sync
    local argv=() a
    for a in "$@"; do a="${a//\{src\}/$SRC}"; argv+=("${a//\{dst\}/$DST}"); done
    local t0 t1 rc=0 quiet=- busy0 busy1
    ((WAIT_QUIET)) && quiet=$(wait_quiet)
    busy0=$(busy_seconds)
    t0=$(date +%s.%N)
    /usr/bin/time -f '%e %M %U %S' -o "$WORK/time.txt" "${argv[@]}" >/dev/null 2>"$WORK/stderr.txt" || rc=$?
    t1=$(date +%s.%N)
    busy1=$(busy_seconds)
    local wall kib cpu sys load others
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
    kib=$(awk 'END {print $2}' "$WORK/time.txt")
    cpu=$(awk 'END {printf "%.2f", $3 + $4}' "$WORK/time.txt")
    sys=$(awk 'END {printf "%.2f", $4}' "$WORK/time.txt")
    load=$(cut -d' ' -f1 /proc/loadavg)
    # What the rest of the machine did meanwhile: all busy CPU time less the row's own.
    others=$(awk -v a="$busy0" -v b="$busy1" -v c="$cpu" 'BEGIN {x = b - a - c; printf "%.2f", x < 0 ? 0 : x}')
    printf '%s\t%s\t%s\t%d\t%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$(basename "$input")" "$bytes" "$r" "$rc" "$wall" "$cpu" \
      "$kib" "$sys" "$load" "$others" "$quiet" >>"$TSV"
    printf '  %-44s run %d: %7.3f s (cpu %6.2f s, sys %5.2f s) %7s KiB rc=%d  load %s, others %5.2f cpu s, before %s\n' \
      "$name" "$r" "$wall" "$cpu" "$sys" "$kib" "$rc" "$load" "$others" "$quiet" >&2
    if ((rc != 0)); then
      echo "run_bench.sh: '$name' failed:" >&2; cat "$WORK/stderr.txt" >&2; exit 1
    fi
    walls+=("$wall"); cpus+=("$cpu"); syss+=("$sys"); rsss+=("$kib"); otherss+=("$others")
    if ((r == 1)) && [ -n "${SAVE_REF[$name]:-}" ]; then mv "$DST" "$REF-${SAVE_REF[$name]}"; fi
    if ((r == 1)) && [ -n "${CMP_REF[$name]:-}" ]; then
      if [ ! -f "$REF-${CMP_REF[$name]}" ]; then IDENT[$name]="not checked"
      elif cmp -s "$DST" "$REF-${CMP_REF[$name]}"; then IDENT[$name]=yes; else IDENT[$name]=NO; fi
    fi
  done
  rm -f "$DST" "$SRC"
  ROW_S[$name]=$(median "${walls[@]}")
  ROW_CPU[$name]=$(median "${cpus[@]}")
  ROW_SYS[$name]=$(median "${syss[@]}")
  ROW_OTHERS[$name]=$(printf '%s\n' "${otherss[@]}" | sort -g | tail -1)
  ROW_KIB[$name]=$(median "${rsss[@]}")
  ROW_RANGE[$name]="$(printf '%s\n' "${walls[@]}" | sort -g | sed -n '1p;$p' | paste -sd-)"
  ROW_BYTES[$name]=$bytes
  ORDER+=("$name")
}

declare -A ROW_RANGE
LOAD_BEFORE="$(cut -d' ' -f1-3 /proc/loadavg)"
echo "warming the page cache ..." >&2
for f in "$LF" "$CRLF"; do cat "$f" >/dev/null; done
NAIVE_ARGS=(--intensity 0.1)

time_row "cat LF > /dev/null" "$LF" none sh -c 'exec cat "$0" >/dev/null' "$LF"
time_row "cat CR LF > /dev/null" "$CRLF" none sh -c 'exec cat "$0" >/dev/null' "$CRLF"
# What writing costs here: a rewritten run writes the file twice (the normalised source and the
# destination), and new page-cache pages cost far more than reading cached ones.
time_row "cp LF (one read, one write)" "$LF" none cp "$LF" {dst}
# The rewritten rows must put the whole normalised copy on the disk before it replaces the source:
# this is the least that costs here, a read and a write flushed to the disk.
time_row "dd LF, flushed (conv=fdatasync)" "$LF" none dd if="$LF" of={dst} bs=1M conv=fdatasync status=none
time_row "naive script (2 passes)" "$LF" none "$PY" "$NAIVE" "$LF" {dst} "${NAIVE_ARGS[@]}"
if ((!QUICK)); then
  time_row "naive script --crlf-source" "$LF" copy "$PY" "$NAIVE" {src} {dst} "${NAIVE_ARGS[@]}" --crlf-source
  time_row "naive script --normals --split-quads" "$LF" none "$PY" "$NAIVE" "$LF" {dst} "${NAIVE_ARGS[@]}" --normals --split-quads
fi
J=("$CLI" -q --day 45000 -f)
SAVE_REF["jitterform LF (rewritten)"]=plain
CMP_REF["jitterform LF --keep-source"]=plain
CMP_REF["jitterform LF --threads 0 (rewritten)"]=plain
SAVE_REF["jitterform CR LF (already normal)"]=crlf
CMP_REF["jitterform CR LF --keep-source"]=crlf
SAVE_REF["jitterform LF -n -s (rewritten)"]=ns
CMP_REF["jitterform LF -n -s --threads 0"]=ns
time_row "jitterform LF (rewritten)" "$LF" copy "${J[@]}" {src} {dst}
time_row "jitterform LF --keep-source" "$LF" copy "${J[@]}" --keep-source {src} {dst}
time_row "jitterform LF --threads 0 (rewritten)" "$LF" copy "${J[@]}" --threads 0 {src} {dst}
time_row "jitterform CR LF (already normal)" "$CRLF" copy "${J[@]}" {src} {dst}
time_row "jitterform CR LF --keep-source" "$CRLF" copy "${J[@]}" --keep-source {src} {dst}
time_row "jitterform LF -n -s (rewritten)" "$LF" copy "${J[@]}" -n -s {src} {dst}
time_row "jitterform LF -n -s --threads 0" "$LF" copy "${J[@]}" -n -s --threads 0 {src} {dst}
rm -f "$REF"-*
if ((BIG)); then
  cat "$BIGF" >/dev/null
  time_row "cat 4.3 GB > /dev/null" "$BIGF" none sh -c 'exec cat "$0" >/dev/null' "$BIGF"
  time_row "cp 4.3 GB (one read, one write)" "$BIGF" none cp "$BIGF" {dst}
  time_row "dd 4.3 GB, flushed (conv=fdatasync)" "$BIGF" none dd if="$BIGF" of={dst} bs=1M conv=fdatasync status=none
  time_row "jitterform 4.3 GB LF (rewritten)" "$BIGF" copy "${J[@]}" {src} {dst}
fi
LOAD_AFTER="$(cut -d' ' -f1-3 /proc/loadavg)"

mbps() { awk -v b="${ROW_BYTES[$1]}" -v s="${ROW_S[$1]}" 'BEGIN {printf "%.1f", b / 1e6 / s}'; }
ratio() { awk -v a="$(mbps "$1")" -v b="$(mbps "$2")" 'BEGIN {printf "%.2f", a / b}'; }
# How many times cat's time per byte a row takes.
times_cat() { awk -v a="$(mbps "$2")" -v b="$(mbps "$1")" 'BEGIN {printf "%.0f", a / b}'; }
same_job() {
  case "$1" in
    "jitterform LF (rewritten)") [ -n "${ROW_S[naive script --crlf-source]:-}" ] && ratio "$1" "naive script --crlf-source" || echo - ;;
    "jitterform LF --keep-source"|"jitterform CR LF"*) ratio "$1" "naive script (2 passes)" ;;
    "jitterform LF --threads 0"*) [ -n "${ROW_S[naive script --crlf-source]:-}" ] && ratio "$1" "naive script --crlf-source" || echo - ;;
    "jitterform LF -n -s"*) [ -n "${ROW_S[naive script --normals --split-quads]:-}" ] && ratio "$1" "naive script --normals --split-quads" || echo - ;;
    *) echo - ;;
  esac
}

{
  echo "## jitterform-cli throughput, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Machine: $(machine)."
  echo "Tree: $TREE; load average before $LOAD_BEFORE, after $LOAD_AFTER; $RUNS runs per row${OUR_RUNS:+ ($OUR_RUNS of each jitterform row)}, median."
  echo
  echo "| what | input bytes | median s (min-max) | CPU s (sys) | others' CPU s, worst run | MB/s | peak RSS MiB | time / cat | speed / naive | speed / naive, same job |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for n in "${ORDER[@]}"; do
    cat_row="cat LF > /dev/null"
    case "$n" in *"CR LF"*) cat_row="cat CR LF > /dev/null" ;; *"4.3 GB"*) cat_row="cat 4.3 GB > /dev/null" ;; esac
    printf '| %s | %s | %.3f (%s) | %.2f (%.2f) | %.2f | %s | %.1f | %s | %s | %s |\n' "$n" "${ROW_BYTES[$n]}" "${ROW_S[$n]}" \
      "${ROW_RANGE[$n]}" "${ROW_CPU[$n]}" "${ROW_SYS[$n]}" "${ROW_OTHERS[$n]}" "$(mbps "$n")" "$(awk -v k="${ROW_KIB[$n]}" 'BEGIN {print k / 1024}')" \
      "$([ "$n" = "$cat_row" ] && echo - || times_cat "$n" "$cat_row")" \
      "$(case "$n" in naive*|cat*|cp*|dd*) echo - ;; *) ratio "$n" "naive script (2 passes)" ;; esac)" \
      "$(same_job "$n")"
  done
  echo
  for n in "${ORDER[@]}"; do
    [ -n "${CMP_REF[$n]:-}" ] || continue
    for m in "${!SAVE_REF[@]}"; do [ "${SAVE_REF[$m]}" = "${CMP_REF[$n]}" ] && break; done
    echo "- Output of \"$n\" byte-identical to that of \"$m\": ${IDENT[$n]:-not checked}."
  done
  echo "- Single-threaded (--threads 0) against the default: $(ratio "jitterform LF (rewritten)" "jitterform LF --threads 0 (rewritten)") times as fast plain," \
    "$(ratio "jitterform LF -n -s (rewritten)" "jitterform LF -n -s --threads 0") times with -n -s."
  diff() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a - b}'; }
  echo "- Format check on the normal-form source (CR LF run minus CR LF --keep-source):" \
    "$(diff "${ROW_S[jitterform CR LF (already normal)]}" "${ROW_S[jitterform CR LF --keep-source]}") s wall," \
    "$(diff "${ROW_CPU[jitterform CR LF (already normal)]}" "${ROW_CPU[jitterform CR LF --keep-source]}") s CPU;" \
    "one read by cat: ${ROW_S[cat CR LF > /dev/null]} s wall, ${ROW_CPU[cat CR LF > /dev/null]} s CPU."
  echo "- Format check with the rewrite (LF run minus LF --keep-source):" \
    "$(diff "${ROW_S[jitterform LF (rewritten)]}" "${ROW_S[jitterform LF --keep-source]}") s wall," \
    "$(diff "${ROW_CPU[jitterform LF (rewritten)]}" "${ROW_CPU[jitterform LF --keep-source]}") s CPU."
  echo "- The disk's flushed write (dd conv=fdatasync) of the 1 GB file takes ${ROW_S[dd LF, flushed (conv=fdatasync)]} s," \
    "$(mbps "dd LF, flushed (conv=fdatasync)") MB/s: a floor for every rewritten run, which must flush its normalised copy."
  if ((BIG)); then
    echo "- Scaling of the flushed write, for comparison: 4.3 GB time / 1 GB time = $(awk -v a="${ROW_S[dd 4.3 GB, flushed (conv=fdatasync)]}" -v b="${ROW_S[dd LF, flushed (conv=fdatasync)]}" 'BEGIN {printf "%.2f", a / b}')."
    echo "- Scaling of cp, for comparison: 4.3 GB time / 1 GB time = $(awk -v a="${ROW_S[cp 4.3 GB (one read, one write)]}" -v b="${ROW_S[cp LF (one read, one write)]}" 'BEGIN {printf "%.2f", a / b}')."
    echo "- Scaling by CPU time: $(awk -v a="${ROW_CPU[jitterform 4.3 GB LF (rewritten)]}" -v b="${ROW_CPU[jitterform LF (rewritten)]}" 'BEGIN {printf "%.2f", a / b}')."
    echo "- Scaling: 4.3 GB time / 1 GB time = $(awk -v a="${ROW_S[jitterform 4.3 GB LF (rewritten)]}" -v b="${ROW_S[jitterform LF (rewritten)]}" 'BEGIN {printf "%.2f", a / b}'); size ratio $(awk -v a="${ROW_BYTES[jitterform 4.3 GB LF (rewritten)]}" -v b="${ROW_BYTES[jitterform LF (rewritten)]}" 'BEGIN {printf "%.2f", a / b}') (target: time ratio at most 4.4 for 4 GB; per byte: $(awk -v a="${ROW_S[jitterform 4.3 GB LF (rewritten)]}" -v b="${ROW_S[jitterform LF (rewritten)]}" -v x="${ROW_BYTES[jitterform 4.3 GB LF (rewritten)]}" -v y="${ROW_BYTES[jitterform LF (rewritten)]}" 'BEGIN {printf "%.2f", (a / x) / (b / y)}') times the 1 GB cost)."
  fi
  echo "- Every run: $TSV"
} | tee "${TSV%.tsv}.md"
fi

if ((PEERS && WINDOW < 2)); then
  echo >&2
  echo "heavy peers on the 100 MB input (run_peers.sh; minutes) ..." >&2
  mkdir -p "$BENCH_DIR/peers"
  # The peers' own 1 GB input is made by the same generator with the same arguments: reuse ours.
  # --keep-source, since that file is shared.
  [ "$MB" = 1000 ] && [ ! -e "$BENCH_DIR/peers/terrain_1gb.obj" ] && ln -s "$LF" "$BENCH_DIR/peers/terrain_1gb.obj"
  BENCH_DIR="$BENCH_DIR/peers" RUNS="$RUNS" STEPS="install generate bench100" \
    EXTRA_PEER_NAME=jitterform EXTRA_PEER_CMD="$CLI -q --day 45000 -f --keep-source -i 0.01 {in} {out}" \
    bash "$PEERS_DIR/run_peers.sh" | tee "$BENCH_DIR/peers-$(date +%Y%m%d-%H%M%S).log"
fi

if ((WINDOW && PEERS < 2)); then
  UI_BUILD_DIR="${UI_BUILD_DIR:-$REPO/build-bench-ui}"
  if [ -n "$COMMIT" ]; then UI_BUILD_DIR="$SOURCE_ROOT/build-ui"; fi
  build_release "$UI_BUILD_DIR" ON window_bench jitterform-cli
  cat "$LF" >/dev/null
  {
    echo "## The window against the command line, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo
    echo "Machine: $(machine). Tree: $TREE; load average before $(load_now)."
    echo
    QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$UI_BUILD_DIR/bench/window_bench" --runs "$RUNS" \
      --cli "$UI_BUILD_DIR/cli/jitterform-cli" "$LF" 2> >(grep -v XDG_RUNTIME_DIR >&2)
    echo
    echo "Load average after: $(load_now)."
  } | tee "$BENCH_DIR/window-$(date +%Y%m%d-%H%M%S).md"
fi
