#!/usr/bin/env bash
# preview_memory.sh: the whole program's peak memory with the preview window open, on the generated
# meshes, beside the same program with the preview open on a cube (the baseline of the same run).
#
#   bench/preview_memory.sh                 # the cube, the 1 GB and the 4.3 GB meshes
#   bench/preview_memory.sh FILE...         # other files (the cube still comes first)
#
# Each file is its own process of preview_memory (the main window as `jitterform FILE` starts it,
# View > Preview, the load and the first picture), under a virtual X screen with Mesa's software
# renderer, with a HOME of its own so that no settings file of the user's is read or written.
# Prints the peak resident memory (VmHWM) of each, in MiB, and the seconds from View > Preview to
# the first picture. The limit for the 1 GB and 4.3 GB meshes is 600 MiB.
# The 4.3 GB mesh is made with ../shared/peers/gen_obj.py where missing (about 4.3 GB of disk;
# delete BENCH_DIR/mesh-4300m.obj afterwards). Environment: BENCH_DIR, BUILD_DIR (default
# build-bench-ui).
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
files=()
while (($#)); do
  case "$1" in
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    -*) echo "preview_memory.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$(realpath "$1")"); shift ;;
  esac
done

# shellcheck source=common.sh
. "$HERE/common.sh"
use_tree ""
need_pkg xvfb-run xvfb
BUILD_DIR="${BUILD_DIR:-$REPO/build-bench-ui}"
build_release "$BUILD_DIR" ON preview_memory
((${#files[@]})) || files=("$(make_input 1000)" "$(make_input 4300)")

work="$(mktemp -d)"
export XDG_RUNTIME_DIR="$work/runtime"; mkdir -m 700 "$XDG_RUNTIME_DIR"
trap 'rm -rf "$work"' EXIT
printf 'v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n' >"$work/cube.obj"
printf 'f 1 2 3 4\nf 5 8 7 6\nf 1 5 6 2\nf 2 6 7 3\nf 3 7 8 4\nf 5 1 4 8\n' >>"$work/cube.obj"
mkdir -p "$work/home"

echo "# $TREE; $(nproc) cores; load $(load_now)"
printf "%-18s %10s %10s %16s  %s\n" file "peak MiB" "end MiB" "first picture s" shown
for file in "$work/cube.obj" "${files[@]}"; do
  cat "$file" >/dev/null
  line=$(HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
         xvfb-run -a -s "-screen 0 1280x1024x24" env LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb \
         "$BUILD_DIR/bench/preview_memory" "$file")
  peak=$(sed -E 's/.*peak ([0-9]+) kB.*/\1/' <<<"$line")
  end=$(sed -E 's/.*resident ([0-9]+) kB.*/\1/' <<<"$line")
  first=$(sed -E 's/.*first picture ([0-9.]+) s.*/\1/' <<<"$line")
  shown=$(sed -E 's/.*shown ([0-9]+ of [0-9]+) triangles.*/\1/' <<<"$line")
  printf "%-18s %10.1f %10.1f %16s  %s\n" "$(basename "$file")" "$(echo "$peak / 1024" | bc -l)" \
         "$(echo "$end / 1024" | bc -l)" "$first" "$shown"
done
echo "# load afterwards $(load_now)"
