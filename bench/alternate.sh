#!/usr/bin/env bash
# alternate.sh: rows timed in alternating rounds, so that every row sees the machine as it is at the
# same moment: trees against each other, options against each other, jitterform-cli against a peer,
# or against what the disk alone takes. Each round runs every row once; a jitterform-cli row runs on
# a fresh copy of the ~1 GB input (made and synced before the clock starts), rewritten as a user's
# run rewrites it unless its options say --keep-source.
#
#   bench/alternate.sh afa98c8 HEAD                  # two trees, 7 rounds
#   bench/alternate.sh --rounds 15 afa98c8 ""        # "" is the working tree
#   bench/alternate.sh --options "-n -s" afa98c8 HEAD
#   bench/alternate.sh --crlf afa98c8 HEAD           # the CR LF input, already in normal form
#   bench/alternate.sh "" ":--keep-source"           # one tree, two sets of options
#   bench/alternate.sh --disk "" ":--keep-source"    # how much of a rewritten run is the disk's
#   bench/alternate.sh --peer "blender data" ""      # the fastest peer and the rewritten run
#
# ROW is TREE[:OPTIONS]: a commit (exported and built apart), or "" for the working tree (built in
# BUILD_DIR, default build-bench), then the row's own options after a colon, added to --options.
# Options:
#   --rounds N      rounds (default 7)
#   --options "..." options of every jitterform-cli row (beside -q --day 45000 -f)
#   --crlf          the CR LF input instead of the LF one
#   --mb N          an input of N MB instead of the ~1 GB one
#   --disk          two more rows: the first row's run with --keep-source and a direct, flushed dd
#                   copy of the source written beside it (the copy's writes with every other cost of
#                   the rewrite taken away), and two such copies one after the other (what the disk
#                   alone takes for the two files that a rewritten run must put on it). When the
#                   rewritten row is close to both, it waits for the disk.
#   --peer NAME     one more row: that peer of ../shared/peers/bench.py on its 100 MB file (the
#                   peers and that file come from bench/run_bench.sh --peers-only)
# Output: a table of medians (wall and CPU seconds, MB/s of the row's input) with each row's speed
# over the first row's, and whether the outputs of the first round agree where they must (rows whose
# options differ only in --keep-source or --threads). Every run is kept in a TSV in BENCH_DIR.
# Environment: BENCH_DIR, BUILD_DIR, PEERS_DIR (see common.sh).
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

ROUNDS=7; OPTIONS=""; CRLF=""; MB=1000; DISK=0; PEER=""
rows=()
while (($#)); do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --options) OPTIONS="$2"; shift 2 ;;
    --crlf) CRLF=--crlf; shift ;;
    --mb) MB="$2"; shift 2 ;;
    --disk) DISK=1; shift ;;
    --peer) PEER="$2"; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "alternate.sh: unknown option $1" >&2; exit 2 ;;
    *) rows+=("$1"); shift ;;
  esac
done
((${#rows[@]} >= 1)) || { echo "alternate.sh: name a row or more (see --help)" >&2; exit 2; }
if ((${#rows[@]} < 2 && !DISK)) && [ -z "$PEER" ]; then
  echo "alternate.sh: one row has nothing to alternate with" >&2; exit 2
fi

# shellcheck source=common.sh
. "$HERE/common.sh"
INPUT="$(make_input "$MB" $CRLF)"
SIZE=$(stat -c %s "$INPUT")
if [ -n "$PEER" ]; then
  SMALL="$BENCH_DIR/peers/terrain_100mb.obj"
  [ -s "$SMALL" ] || { echo "alternate.sh: $SMALL is missing (bench/run_bench.sh --peers-only makes it)" >&2; exit 1; }
fi

# Each row: its label, its program and options, and the key of the outputs it must agree with.
labels=(); clis=(); opts=(); keys=()
declare -A built
for row in "${rows[@]}"; do
  tree="${row%%:*}"; own=""
  [[ "$row" == *:* ]] && own="${row#*:}"
  use_tree "$tree"
  if [ -z "$tree" ]; then folder="${BUILD_DIR:-$REPO/build-bench}"; else folder="$SOURCE_ROOT/build"; fi
  if [ -z "${built[$folder]:-}" ]; then build_release "$folder" OFF jitterform-cli; built[$folder]=1; fi
  clis+=("$folder/cli/jitterform-cli")
  opts+=("$(echo "$OPTIONS $own" | xargs)")
  labels+=("$TREE${own:+, $own}")
  # Neither the source's fate nor the number of helper threads may change the output.
  keys+=("options:$(echo " ${opts[-1]} " | sed -E 's/ --keep-source / /g; s/ --threads [0-9]+ / /g' | xargs)")
done
n=${#clis[@]}
if ((DISK)); then labels+=("--keep-source with a flushed copy beside it" "the disk alone: two flushed copies"); fi
[ -n "$PEER" ] && labels+=("$PEER, on its 100 MB file")

WORK="$(mktemp -d "$BENCH_DIR/alternate-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
TSV="$BENCH_DIR/alternate-$(date +%Y%m%d-%H%M%S).tsv"
printf 'round\trow\tbytes\twall_s\tcpu_s\n' >"$TSV"
copy() { dd if="$INPUT" of="$1" bs=2M oflag=direct conv=fsync status=none; }
convert() { # row options...
  local i="$1"; shift
  # shellcheck disable=SC2086
  "${clis[$i]}" -q --day 45000 -f ${opts[$i]} "$@" "$WORK/source.obj" "$WORK/destination.obj"
}
declare -A first
identical=()
TIMEFORMAT='%R %U %S'
for ((r = 1; r <= ROUNDS; r++)); do
  for i in "${!labels[@]}"; do
    rm -f "$WORK/destination.obj" "$WORK/copy" "$WORK/copy2"
    ((i < n || i == n && DISK)) && cp "$INPUT" "$WORK/source.obj"
    sync
    bytes=$SIZE
    if ((i < n)); then
      { time convert "$i"; } 2>"$WORK/time"
    elif ((DISK && i == n)); then
      { time { copy "$WORK/copy" & convert 0 --keep-source; wait; }; } 2>"$WORK/time"
    elif ((DISK && i == n + 1)); then
      { time { copy "$WORK/copy"; copy "$WORK/copy2"; }; } 2>"$WORK/time"
    else
      # The peers run with the system's PATH, as run_peers.sh runs them (Blender's own Python needs it).
      PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" BENCH_DIR="$BENCH_DIR/peers" \
        "$PY" "$PEERS_DIR/bench.py" --runs 1 --only "$PEER" --results "$WORK/peer.tsv" "$SMALL" >/dev/null
      peer_s=$(awk -F'\t' 'NR == 2 && $5 == 0 { print $6 }' "$WORK/peer.tsv")
      [ -n "$peer_s" ] || { echo "alternate.sh: the peer failed" >&2; cat "$WORK/peer.tsv" >&2; exit 1; }
      echo "$peer_s - -" >"$WORK/time"
      bytes=$(stat -c %s "$SMALL")
    fi
    read -r wall user sys <"$WORK/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN {if (u == "-") print "-"; else printf "%.2f", u + s}')
    printf '%d\t%d\t%s\t%s\t%s\n' "$r" "$i" "$bytes" "$wall" "$cpu" >>"$TSV"
    if ((r == 1 && i < n)); then
      key="${keys[$i]}"
      if [ -z "${first[$key]:-}" ]; then
        first[$key]=$i; mv "$WORK/destination.obj" "$WORK/first-$i.obj"; identical[i]="first of its options"
      elif cmp -s "$WORK/first-${first[$key]}.obj" "$WORK/destination.obj"; then identical[i]="yes, as row $((first[$key] + 1))"
      else identical[i]="NO, differs from row $((first[$key] + 1))"; fi
    fi
  done
  echo "round $r done" >&2
done
rm -f "$WORK"/first-*.obj

{
  echo "## Alternating rounds, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Machine: $(machine). Input: $(basename "$INPUT") ($SIZE bytes); options of every row: ${OPTIONS:-none}."
  echo
  echo "| row | what | runs | median s (min-max) | MB/s | CPU s | speed / row 1 | output |"
  echo "|---|---|---|---|---|---|---|---|"
  for i in "${!labels[@]}"; do
    "$PY" - "$TSV" "$i" "${labels[$i]}" "${identical[i]:--}" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
def speeds(row):
    return [int(b) / float(w) / 1e6 for _, r, b, w, _ in rows if r == row]
mine = [x for x in rows if x[1] == sys.argv[2]]
walls = [float(x[3]) for x in mine]
cpus = [float(x[4]) for x in mine if x[4] != "-"]
mbps = statistics.median(speeds(sys.argv[2]))
print("| %d | %s | %d | %.3f (%.3f-%.3f) | %.1f | %s | %.2f | %s |" % (
    int(sys.argv[2]) + 1, sys.argv[3], len(walls), statistics.median(walls), min(walls), max(walls),
    mbps, "%.2f" % statistics.median(cpus) if cpus else "-", mbps / statistics.median(speeds("0")),
    sys.argv[4]))
EOF
  done
  echo
  if [ -n "$PEER" ]; then
    awk -F'\t' -v p="$((${#labels[@]} - 1))" 'NR > 1 {v[$2] = v[$2] " " $3 / $4}
      function med(s,   a, k, i, j, t) { k = split(s, a, " "); for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++)
        if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }; return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2 }
      END {printf "Row 1 against the peer: %.1f times as fast (median MB/s of each).\n\n", med(v[0]) / med(v[p])}' "$TSV"
  fi
  echo "Every run: $TSV"
} | tee "${TSV%.tsv}.md"
