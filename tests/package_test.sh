#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from a build folder, checked by lintian,
# installed with dpkg, its programs run and its files checked where the system looks for them, then
# removed. Whatever fails, the package is removed again and the machine left as it was.
#
# Usage: tests/package_test.sh BUILD_DIR VERSION MESH_DIR
#   BUILD_DIR  a configured and built folder (it holds CPackConfig.cmake and cli/jitterform-cli)
#   VERSION    the project's version, which the package's name and --version must carry
#   MESH_DIR   a folder of OBJ meshes (only read: the runs work on copies)
# Exits 77 (skipped, with the reason) where it cannot run without harm: not root, no dpkg or cpack,
# or files of the package already on the system.
set -uo pipefail

build=$1 version=$2 meshes=$3
mesh=cube_quads.obj

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
failures=0

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-deb dpkg-query cpack; do
  command -v "$tool" >/dev/null || skip "no $tool here"
done
[ -f "$meshes/$mesh" ] || skip "no test mesh $meshes/$mesh"
if dpkg-query -W jitterform >/dev/null 2>&1; then
  skip "dpkg knows jitterform already ($(dpkg-query -W -f='${Status}' jitterform)); the test would replace it"
fi

work=$(mktemp -d)
# From the moment dpkg -i starts: it was not installed before, so whatever state it has is ours.
installed=no
cleanup() {
  if [ "$installed" = yes ] && dpkg-query -W jitterform >/dev/null 2>&1; then
    dpkg --purge jitterform >"$work/remove.log" 2>&1 || { echo "FAIL: dpkg --purge"; cat "$work/remove.log"; }
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The package, named from the one project version.
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$work/cpack/jitterform_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
  ls "$work/cpack"
  echo "FAIL: no $(basename "$deb")"
  exit 1
fi
[ "$(dpkg-deb -f "$deb" Section)" = graphics ] || fail "section is not graphics"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6core6' || fail "Depends lacks Qt: $(dpkg-deb -f "$deb" Depends)"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" 2>/dev/null >"$work/lintian.log" || { cat "$work/lintian.log"; fail "lintian"; }
fi

# Installing over files that some other install left would take them away again at the removal.
mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')
for file in "${files[@]}"; do
  [ -e "$file" ] && skip "$file exists already (an install by hand?); the test would remove it"
done

installed=yes
if ! dpkg -i "$deb" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: dpkg -i"
  exit 1
fi

# The installed command line: the project's version, and the same output as the built one.
IFS=. read -r major minor patch <<<"$version"
expected="Jitterform $major.$minor build $patch"
[ "$(/usr/bin/jitterform-cli --version)" = "$expected" ] || fail "--version is not \"$expected\""
mkdir -p "$work/installed" "$work/built" "$work/kept"
for dir in installed built kept; do
  cp "$meshes/$mesh" "$work/$dir/" && chmod u+w "$work/$dir/$mesh"
done
summary=$(/usr/bin/jitterform-cli -n -s --day 46000 "$work/installed/$mesh")
[[ $summary == *": 8 vertices and 6 normals noised, 6 quads split;"* ]] || fail "summary: $summary"
"$build/cli/jitterform-cli" -q -n -s --day 46000 "$work/built/$mesh"
cmp -s "$work/installed/${mesh%.obj}_n.obj" "$work/built/${mesh%.obj}_n.obj" ||
  fail "the installed program's output differs from the built one's"
[ "$(grep -c $'\r$' "$work/installed/$mesh")" = "$(wc -l <"$work/installed/$mesh")" ] ||
  fail "the source was not brought into normal form (CR LF)"
/usr/bin/jitterform-cli -q --keep-source --day 46000 "$work/kept/$mesh"
cmp -s "$meshes/$mesh" "$work/kept/$mesh" || fail "--keep-source changed the source"

# The installed files, where the desktop, man and bash look for them.
share=/usr/share
command -v desktop-file-validate >/dev/null &&
  { desktop-file-validate "$share/applications/jitterform.desktop" || fail "desktop entry"; }
metainfo=$share/metainfo/io.github.jitterform.Jitterform.metainfo.xml
[ -f "$metainfo" ] || fail "no $metainfo"
command -v appstreamcli >/dev/null && [ -f "$metainfo" ] &&
  { appstreamcli validate --no-net --no-color "$metainfo" >"$work/appstream.log" 2>&1 ||
      { cat "$work/appstream.log"; fail "metainfo"; }; }
grep -q "<release version=\"$version\"" "$metainfo" 2>/dev/null || fail "metainfo's release is not $version"
[ -f "$share/icons/hicolor/scalable/apps/jitterform.svg" ] || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
  icon=$share/icons/hicolor/${size}x${size}/apps/jitterform.png
  # A PNG's width and height are the big-endian words at bytes 16 and 20.
  dims=$(od -An -tu1 -j16 -N8 "$icon" 2>/dev/null | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
  [ "$dims" = "${size}x${size}" ] || fail "$icon is ${dims:-missing}, not ${size}x${size}"
done
for page in jitterform jitterform-cli; do
  manual=$share/man/man1/$page.1.gz
  if [ ! -f "$manual" ]; then
    fail "no $manual"
  elif command -v groff >/dev/null; then
    complaints=$(zcat "$manual" | groff -man -ww -z 2>&1)
    [ -z "$complaints" ] || fail "$manual: $complaints"
  fi
  if command -v man >/dev/null; then
    [ "$(man -w "$page" 2>/dev/null)" = "$manual" ] || fail "man -w $page does not find $manual"
  fi
done
completions=$share/bash-completion/completions/jitterform-cli
[ -f "$completions" ] || fail "no $completions"
if [ -f "$share/bash-completion/bash_completion" ]; then
  # bash-completion loads a command's completion by its name, at the first Tab.
  loaded=$(bash -c "source $share/bash-completion/bash_completion; __load_completion jitterform-cli; complete -p jitterform-cli" 2>&1)
  [[ $loaded == *"-F _jitterform_cli "* ]] || fail "the completion does not load by name: $loaded"
fi
for doc in copyright changelog.gz; do
  [ -f "$share/doc/jitterform/$doc" ] || fail "no $share/doc/jitterform/$doc"
done

# Removed, nothing of it is left.
if dpkg -r jitterform >"$work/remove.log" 2>&1; then
  installed=no
else
  cat "$work/remove.log"
  fail "dpkg -r"
fi
dpkg-query -W jitterform >/dev/null 2>&1 && fail "dpkg still knows jitterform: $(dpkg-query -W -f='${Status}' jitterform)"
for file in "${files[@]}"; do
  [ -e "$file" ] && fail "$file is left after the removal"
done

if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "The package installs, works and goes again: $(basename "$deb")"
