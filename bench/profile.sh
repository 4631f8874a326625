#!/usr/bin/env bash
# profile.sh: where jitterform-cli spends its time and what it asks of the system, per phase and per
# record.
#
#   bench/profile.sh                 # --phases --perf --callgrind
#   bench/profile.sh --perf          # one part, or several
#   bench/profile.sh --counts        # allocations and system calls per record
#   bench/profile.sh --commit HEAD   # the committed tree, exported and built apart (git archive)
#
# Parts (all but --counts when none is named):
#   --phases     wall time of each phase of a rewritten run of the ~1 GB LF input, from strace of
#                the calls that start them: a CPU profile cannot see the waits for the disk (the
#                fsync of the rewritten source, freeing the old one's blocks)
#   --perf       perf record of the same run, the samples split by phase (profile_report.py perf).
#                This machine's virtual CPUs have no hardware counters, so perf samples the
#                cpu-clock software event, with DWARF call chains; user and kernel time both show
#   --callgrind  exact instruction counts by function on a ~20 MB input, plain and with -n -s
#   --counts     heap allocations and system calls per record, from inputs of two sizes (20 MB and
#                40 MB, and the ~1 GB one unless --no-big): what scales with the file shows in the
#                difference, what a run pays once cancels out. alloc_count (bench/alloc_count.cpp)
#                counts every allocation of the process in the format check and the conversion,
#                plain and with normals and quads; strace -c -f counts the calls of jitterform-cli
#                on a fresh LF copy of each input. Exit status 1 when an allocation grows with the
#                file (ALLOC_TRACE=1 prints the stack of each allocation made once warm)
# Options: --mb N (the two small inputs of --counts: N and 2N MB), --no-big, --commit REV.
# The build (PROF_DIR, default build-bench-prof) is the Release build plus debug information, frame
# pointers and -fno-inline-functions-called-once: the last keeps the format check and each pass in a
# function of its own (each is called once), so that samples can be told apart by phase; it costs a
# call per phase and nothing per record. Reports go to the terminal and to BENCH_DIR/profile-*.md.
# Environment: BENCH_DIR, PEERS_DIR (see common.sh), PROF_DIR.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PHASES=0; PERF=0; CALLGRIND=0; COUNTS=0; COMMIT=""; MB=20; BIG=1
while (($#)); do
  case "$1" in
    --phases) PHASES=1 ;;
    --perf) PERF=1 ;;
    --callgrind) CALLGRIND=1 ;;
    --counts) COUNTS=1 ;;
    --mb) MB="$2"; shift ;;
    --no-big) BIG=0 ;;
    --commit) COMMIT="$2"; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "profile.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
((PHASES + PERF + CALLGRIND + COUNTS)) || { PHASES=1; PERF=1; CALLGRIND=1; }

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree "$COMMIT"
PROF_DIR="${PROF_DIR:-$REPO/build-bench-prof}"
if [ -n "$COMMIT" ]; then PROF_DIR="$SOURCE_ROOT/build-prof"; fi
((PERF)) && need_pkg perf linux-perf
((PHASES || COUNTS)) && need_pkg strace strace
((CALLGRIND)) && need_pkg valgrind valgrind

EXTRA_CMAKE_ARGS=("-DCMAKE_CXX_FLAGS=-g -fno-omit-frame-pointer -fno-inline-functions-called-once")
build_release "$PROF_DIR" OFF jitterform-cli alloc_count
CLI="$PROF_DIR/cli/jitterform-cli"
WORK="$(mktemp -d "$BENCH_DIR/profile-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
OUT="$BENCH_DIR/profile-$(date +%Y%m%d-%H%M%S)"
# One rewritten run of INPUT under a COMMAND (the words before "--"): run_on input command... -- flags...
run_on() {
  local input="$1" command=() flags
  shift
  while [ "$1" != -- ]; do command+=("$1"); shift; done
  shift
  cp "$input" "$WORK/source.obj"; rm -f "$WORK/destination.obj"; sync
  "${command[@]}" "$CLI" -q --day 45000 -f "$@" "$WORK/source.obj" "$WORK/destination.obj"
}

if ((PHASES || PERF)); then LF="$(make_input 1000)"; fi
if ((PHASES)); then
  run_on "$LF" strace -f --seccomp-bpf -ttt -T -e trace=openat,pread64,fsync,fdatasync,rename,renameat2,exit_group \
    -o "$WORK/trace.txt" --
  {
    echo "## Wall time per phase (strace of the phase-starting calls), $(basename "$LF"), LF source rewritten"
    echo
    echo "Tree: $TREE; machine: $(machine); load average $(load_now)."
    echo
    "$PY" "$HERE/profile_report.py" phases "$WORK/trace.txt" source.obj
    echo
  } | tee "$OUT-phases.md"
fi
if ((PERF)); then
  echo "perf record on $(basename "$LF") ..." >&2
  run_on "$LF" perf record -q -e cpu-clock -F 499 --call-graph dwarf,16384 -o "$WORK/perf.data" -- 2>"$WORK/perf.log" ||
    { cat "$WORK/perf.log" >&2; exit 1; }
  {
    echo "## perf (cpu-clock, DWARF call chains), $(basename "$LF"), LF source rewritten, $(date -u '+%Y-%m-%d')"
    echo
    echo "Tree: $TREE. Samples are of on-CPU time only (both threads where there are two)."
    echo
    perf script -F ip,sym,dso -i "$WORK/perf.data" 2>/dev/null | "$PY" "$HERE/profile_report.py" perf --top 12
  } | tee "$OUT-perf.md"
  mv "$WORK/perf.data" "$OUT-perf.data" # for perf report; it is the size of the samples only
fi

# One line per function (the ones with an object file), names shortened.
cg_short() {
  grep -E '^ *[0-9,]+ .* \[/' | grep -v -E '\?\?\?:0x|\(below main\)|libc-start' |
    sed -E 's/ \[[^]]*\]$//; s/\(anonymous namespace\):://g; s/jf:://g; s/std::basic_string_view<char, std::char_traits<char> >/std::string_view/g;
            s/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g; s/^( *[0-9,]+ \( *[0-9.]+%\)) +[^ :]*:/\1  /'
}
if ((CALLGRIND)); then
  SMALL="$(make_input 20)"
  for flags in "" "-n -s"; do
    echo "callgrind on $(basename "$SMALL") ${flags} ..." >&2
    # shellcheck disable=SC2086
    run_on "$SMALL" valgrind -q --tool=callgrind --callgrind-out-file="$WORK/cg.out" -- $flags
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

status=0
if ((COUNTS)); then
  SMALL="$(make_input "$MB")"; LARGE="$(make_input $((MB * 2)))"
  INPUTS=("$SMALL" "$LARGE")
  if ((BIG)) && [ -s "$BENCH_DIR/mesh-1g.obj" ]; then INPUTS+=("$BENCH_DIR/mesh-1g.obj"); LARGE="$BENCH_DIR/mesh-1g.obj"; fi
  # calls by name for one run of the command line: "name calls" lines
  trace() { # input flags...
    local input="$1"; shift
    run_on "$input" strace -c -f -U name,calls -o "$WORK/strace.txt" -- "$@" >/dev/null
    awk 'NR > 2 && $1 !~ /^-/ {print $1, $2}' "$WORK/strace.txt"
  }
  records() { # lines, a last line without a line end included
    "$PY" -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d.count(b"\n") + (0 if d.endswith(b"\n") or not d else 1))' "$1"
  }
  {
    echo "## Allocations per record"
    echo
    echo "Tree: $TREE."
    echo
    # A failed check (an allocation that scales with the file) is reported, and the system calls are
    # still counted.
    "$PROF_DIR/bench/alloc_count" "${INPUTS[@]}" || touch "$WORK/grows"
    echo
    "$PROF_DIR/bench/alloc_count" --normals --split "${INPUTS[@]}" || touch "$WORK/grows"
    echo
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
  } | tee "$OUT-counts.md"
  # The block above ran in a pipeline's subshell, which leaves its verdict in a file.
  [ ! -e "$WORK/grows" ] || status=1
fi
exit "$status"
