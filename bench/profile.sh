#!/usr/bin/env bash
# profile.sh: where jitterform-cli spends its time, phase by phase.
#
#   bench/profile.sh                # phase wall times and perf on the ~1 GB LF input, then
#                                   # callgrind on a ~20 MB one
#   bench/profile.sh --perf-only    # or --callgrind-only
#   bench/profile.sh --commit HEAD  # the committed tree, exported and built apart (git archive)
#
# The profiled build (build-bench-prof) is the Release build plus debug information, frame pointers
# and -fno-inline-functions-called-once: the last keeps the format check and each pass in a
# function of its own (each is called once), so that samples can be told apart by phase; it costs
# a call per phase and nothing per record.
#
# perf: this machine's virtual CPUs have no hardware counters, so perf samples the cpu-clock
# software event (a timer), with DWARF call chains; user and kernel time both show. The samples
# are split by phase with perf_phases.py (self and children per phase).
# callgrind: exact instruction counts on a small file; callgrind_annotate lists them by function,
# self and inclusive.
# Environment: BENCH_DIR, PEERS_DIR as for run_bench.sh; PROF_DIR (default build-bench-prof).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PERF=1; CALLGRIND=1; COMMIT=""
while (($#)); do
  case "$1" in
    --perf-only) CALLGRIND=0 ;;
    --callgrind-only) PERF=0 ;;
    --commit) COMMIT="$2"; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "profile.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree "$COMMIT"
PROF_DIR="${PROF_DIR:-$REPO/build-bench-prof}"
if [ -n "$COMMIT" ]; then PROF_DIR="$SOURCE_ROOT/build-prof"; fi
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
((PERF)) && ! command -v perf >/dev/null && missing+=(linux-perf)
((PERF)) && ! command -v strace >/dev/null && missing+=(strace)
((CALLGRIND)) && ! command -v valgrind >/dev/null && missing+=(valgrind)
if ((${#missing[@]})); then
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p "$PROF_DIR"
cmake -S "$SOURCE_ROOT" -B "$PROF_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DJITTERFORM_BUILD_UI=OFF \
      "-DCMAKE_CXX_FLAGS=-g -fno-omit-frame-pointer -fno-inline-functions-called-once" >"$PROF_DIR/bench-cmake.log" 2>&1 ||
  { cat "$PROF_DIR/bench-cmake.log"; exit 1; }
ninja -C "$PROF_DIR" jitterform-cli >"$PROF_DIR/bench-ninja.log" 2>&1 || { tail -40 "$PROF_DIR/bench-ninja.log"; exit 1; }
CLI="$PROF_DIR/cli/jitterform-cli"

mkdir -p "$BENCH_DIR"
make_input() { # file mb
  [ -s "$1" ] && return
  python3 "$PEERS_DIR/gen_obj.py" --mb "$2" "$1.part" >&2
  mv "$1.part" "$1"
}
WORK="$(mktemp -d "$BENCH_DIR/profile-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
OUT="$BENCH_DIR/profile-$(date +%Y%m%d-%H%M%S)"

if ((PERF)); then
  LF="$BENCH_DIR/mesh-1g.obj"; make_input "$LF" 1000
  # Wall time per phase first: a CPU profile cannot see the waits for the disk (the fsync of the
  # rewritten source, freeing the old one's blocks).
  cp "$LF" "$WORK/source.obj"; sync
  strace -f --seccomp-bpf -ttt -T -e trace=openat,pread64,fsync,fdatasync,rename,renameat2,exit_group \
    -o "$WORK/trace.txt" "$CLI" -q --day 45000 -f "$WORK/source.obj" "$WORK/destination.obj"
  {
    echo "## Wall time per phase (strace of the phase-starting calls), $(basename "$LF"), LF source rewritten"
    echo
    echo "Tree: $TREE; load average $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
    python3 "$HERE/phase_times.py" "$WORK/trace.txt" source.obj
    echo
  } | tee "$OUT-phases.md"
  rm -f "$WORK/destination.obj"
  cp "$LF" "$WORK/source.obj"; sync
  echo "perf record on $(basename "$LF") ..." >&2
  perf record -q -e cpu-clock -F 499 --call-graph dwarf,16384 -o "$WORK/perf.data" \
    "$CLI" -q --day 45000 -f "$WORK/source.obj" "$WORK/destination.obj" 2>"$WORK/perf.log" ||
    { cat "$WORK/perf.log" >&2; exit 1; }
  {
    echo "## perf (cpu-clock, DWARF call chains), $(basename "$LF"), LF source rewritten, $(date -u '+%Y-%m-%d')"
    echo
    echo "Tree: $TREE. Samples are of on-CPU time only (both threads where there are two)."
    echo
    perf script -F ip,sym,dso -i "$WORK/perf.data" 2>/dev/null | python3 "$HERE/perf_phases.py" --top 12
  } | tee "$OUT-perf.md"
  mv "$WORK/perf.data" "$OUT-perf.data"  # for perf report; it is the size of the samples only
  rm -f "$WORK/source.obj" "$WORK/destination.obj"
fi

# One line per function (the ones with an object file), names shortened.
cg_short() {
  grep -E '^ *[0-9,]+ .* \[/' | grep -v -E '\?\?\?:0x|\(below main\)|libc-start' |
    sed -E 's/ \[[^]]*\]$//; s/\(anonymous namespace\):://g; s/jf:://g; s/std::basic_string_view<char, std::char_traits<char> >/std::string_view/g;
            s/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g; s/^( *[0-9,]+ \( *[0-9.]+%\)) +[^ :]*:/\1  /'
}
if ((CALLGRIND)); then
  SMALL="$BENCH_DIR/mesh-20m.obj"; make_input "$SMALL" 20
  for flags in "" "-n -s"; do
    cp "$SMALL" "$WORK/source.obj"; rm -f "$WORK/destination.obj"
    echo "callgrind on $(basename "$SMALL") ${flags} ..." >&2
    # shellcheck disable=SC2086
    valgrind -q --tool=callgrind --callgrind-out-file="$WORK/cg.out" \
      "$CLI" -q --day 45000 -f $flags "$WORK/source.obj" "$WORK/destination.obj"
    {
      echo "## callgrind, $(basename "$SMALL") ($(stat -c %s "$SMALL") bytes), options: ${flags:-none}, $(date -u '+%Y-%m-%d')"
      echo
      echo "Tree: $TREE."
      echo
      echo "Instructions executed (Ir), by function; the lines that callgrind attributes to inlined"
      echo "source files are left out, so each function appears once."
      echo
      echo '### inclusive (the function and all it calls)'
      echo '```'
      callgrind_annotate --inclusive=yes "$WORK/cg.out" 2>/dev/null | cg_short | head -28
      echo '```'
      echo '### self'
      echo '```'
      callgrind_annotate "$WORK/cg.out" 2>/dev/null | cg_short | head -20
      echo '```'
    } | tee "$OUT-callgrind${flags:+-ns}.md"
  done
fi
