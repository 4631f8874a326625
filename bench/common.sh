# shellcheck shell=bash
# common.sh: sourced by the bench scripts (which set HERE to this folder first). Puts the tree to
# measure in SOURCE_ROOT and a line that names it in TREE.
#
#   use_tree ""      the working tree (TREE says when engine/, cli/, text/ or path/ have edits)
#   use_tree REV     the committed tree REV, exported with git archive into $BENCH_DIR/src-<short>,
#                    so that edits in progress in the working tree cannot change what is measured;
#                    its bench/ is then replaced by the working tree's
#
# An export is made once per commit and then reused with its build folders: a commit cannot change,
# and a second script on the same commit then needs no second build. The .exported mark is written
# last, so an export that was interrupted is made again.
#
# It also sets the places every script uses, each of which the environment may set instead:
# REPO (the repository), BENCH_DIR (inputs, outputs and results; ../bigfiles beside the
# repository), PEERS_DIR (the shared peer scripts; ../shared/peers), and gives build_release,
# make_input, median and the machine's load and busy time.

REPO="$(cd "$HERE/.." && pwd)"
BENCH_DIR="${BENCH_DIR:-$(cd "$REPO/.." && pwd)/bigfiles}"
PEERS_DIR="${PEERS_DIR:-$(cd "$REPO/.." && pwd)/shared/peers}"
mkdir -p "$BENCH_DIR"
# Debian's python3, as the peer figures were measured with; a python3 of pyenv's or a venv's that
# comes first on PATH may be built without the optimisations and run the naive script 1.5x slower.
PY=/usr/bin/python3; [ -x "$PY" ] || PY="$(command -v python3)"

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
# Installs the Debian PACKAGEs of the COMMANDs that are missing: need_pkg command package ...
need_pkg() {
  local missing=()
  while (($# >= 2)); do
    command -v "$1" >/dev/null 2>&1 || missing+=("$2")
    shift 2
  done
  ((${#missing[@]})) || return 0
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures SOURCE_ROOT as a Release build in FOLDER, tests off, the window on or off (UI is ON or
# OFF), and builds the TARGETs; the logs stay in FOLDER, and their tail is shown when a step fails.
# EXTRA_CMAKE_ARGS (an array) goes to cmake as well.
build_release() { # folder ui target...
  local folder="$1" ui="$2"
  shift 2
  need_pkg cmake cmake ninja ninja-build
  mkdir -p "$folder"
  cmake -S "$SOURCE_ROOT" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DJITTERFORM_BUILD_UI="$ui" "${EXTRA_CMAKE_ARGS[@]}" >"$folder/bench-cmake.log" 2>&1 ||
    { cat "$folder/bench-cmake.log"; exit 1; }
  ninja -C "$folder" "$@" >"$folder/bench-ninja.log" 2>&1 || { tail -40 "$folder/bench-ninja.log"; exit 1; }
}
EXTRA_CMAKE_ARGS=()

use_tree() { # rev
  if [ -z "$1" ]; then
    SOURCE_ROOT="$REPO"
    TREE="$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    [ -z "$(git -C "$REPO" status --porcelain -- engine cli text path 2>/dev/null)" ] ||
      TREE+=" with uncommitted changes in engine/, cli/, text/ or path/"
    return
  fi
  local short
  short="$(git -C "$REPO" rev-parse --short "$1^{commit}")" || exit 2
  SOURCE_ROOT="$BENCH_DIR/src-$short"
  if [ ! -e "$SOURCE_ROOT/.exported" ]; then
    rm -rf "$SOURCE_ROOT"; mkdir -p "$SOURCE_ROOT"
    git -C "$REPO" archive "$short" | tar -x -C "$SOURCE_ROOT"
    touch "$SOURCE_ROOT/.exported"
  fi
  # The measuring tools are always the working tree's, so that a fix to them applies to the
  # measurement of an older commit too; they build against that commit's engine.
  cp -a "$REPO/bench/." "$SOURCE_ROOT/bench/"
  TREE="commit $short (exported, built apart from the working tree)"
}

# The generated mesh of MB megabytes (1000: the ~1 GB one), made the first time and kept in
# BENCH_DIR: mesh-1g.obj, mesh-20m.obj, with --crlf mesh-1g-crlf.obj. Prints its path.
# Refuses when making it would leave less than 20 GB free.
make_input() { # mb [--crlf]
  local mb="$1" name file
  shift
  if [ "$mb" = 1000 ]; then name=mesh-1g; else name="mesh-${mb}m"; fi
  [ "${1:-}" = --crlf ] && name+=-crlf
  file="$BENCH_DIR/$name.obj"
  if [ ! -s "$file" ]; then
    local need=$(((mb * 3) / 1000 + 20)) free
    free=$(df -P -B1G "$BENCH_DIR" | awk 'NR==2 {print $4}')
    if ((free < need)); then
      echo "$(basename "$0"): $file needs about ${need} GB free in $BENCH_DIR (input, copy, output, 20 GB reserve)" >&2
      exit 1
    fi
    echo "generating $file ($mb MB) ..." >&2
    "$PY" "$PEERS_DIR/gen_obj.py" --mb "$mb" "$@" "$file.part" >&2
    mv "$file.part" "$file"
  fi
  echo "$file"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# The load average now, as "1 5 15" minutes.
load_now() { cut -d' ' -f1-3 /proc/loadavg; }

# A line that names this machine: cores, processor, memory, kernel.
machine() {
  echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')," \
       "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM, kernel $(uname -r)"
}

# CPU seconds the whole machine has spent busy since boot (all cores; idle and I/O wait left out).
busy_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '/^cpu / {print ($2 + $3 + $4 + $7 + $8 + $9) / hz; exit}' /proc/stat
}

# Waits until the rest of the machine is quiet: less than QUIET_CORES cores' worth (default 0.2)
# busy over one second, seen twice in a row, or until QUIET_WAIT seconds (default 180) have gone by.
# Other people's builds and tests on a two-core machine otherwise decide the timings. Prints the
# busy share it last saw, in cores.
wait_quiet() {
  local limit="${QUIET_CORES:-0.2}" deadline=$((SECONDS + ${QUIET_WAIT:-180})) calm=0 a b busy
  while :; do
    a=$(busy_seconds); sleep 1; b=$(busy_seconds)
    busy=$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2f", b - a}')
    if awk -v x="$busy" -v l="$limit" 'BEGIN {exit !(x < l)}'; then calm=$((calm + 1)); else calm=0; fi
    if ((calm >= 2 || SECONDS >= deadline)); then echo "$busy"; return; fi
  done
}
