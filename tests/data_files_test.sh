#!/usr/bin/env bash
# The files installed beside the programs, checked from the source and build folders: the manuals
# format cleanly and name every option the command line has, the desktop entry and the AppStream
# data validate, and the bash completion offers what each position wants.
#
# Usage: tests/data_files_test.sh manuals     MAN_BUILD_DIR CLI
#        tests/data_files_test.sh desktop     DESKTOP_FILE METAINFO_FILE
#        tests/data_files_test.sh completion  COMPLETION_FILE CLI
# Exits 77 (skipped, with the reason) where the checking tool is not installed.
set -uo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
need() { command -v "$1" >/dev/null || skip "no $1 (scripts/install-deps.sh installs it)"; }
failures=0

# The options that CLI's --help lists, short and long, one a line: "-i", "--intensity", ...
helpOptions() {
  local options
  options=$("$1" --help | grep -E '^ +-' | sed -E 's/^ +//; s/  .*//; s/ <[^>]*>//g; s/, /\n/g')
  # An empty list would pass every check that reads it.
  [ -n "$options" ] || { echo "FAIL: no options in $1 --help" >&2; exit 1; }
  echo "$options"
}

manuals() {
  local dir=$1 cli=$2 page complaints option
  need groff
  for page in "$dir"/*.1; do
    complaints=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$complaints" ] || fail "$page: $complaints"
  done
  # Every option the program takes is explained in its manual (roff writes "-" as "\-").
  while read -r option; do
    grep -qF -- "${option//-/\\-}" "$dir/jitterform-cli.1" || fail "jitterform-cli(1) does not explain $option"
  done < <(helpOptions "$cli")
}

desktop() {
  local entry=$1 metainfo=$2 launchable
  need desktop-file-validate
  need appstreamcli
  desktop-file-validate "$entry" || fail "$entry"
  appstreamcli validate --no-net --no-color "$metainfo" || fail "$metainfo"
  # The software centre starts the program through the desktop entry that the metainfo names.
  launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
  [ "$launchable" = "$(basename "$entry")" ] || fail "the metainfo launches \"$launchable\", not $(basename "$entry")"
}

completion() {
  local script cli=$2 library=/usr/share/bash-completion/bash_completion folder line words expected got
  script=$(realpath "$1")
  [ -f "$library" ] || skip "no $library (the bash-completion package)"
  folder=$(mktemp -d)
  trap 'rm -rf "$folder"' RETURN
  mkdir "$folder/models"
  touch "$folder/a.obj" "$folder/B.OBJ" "$folder/notes.txt" "$folder/pic.png"

  # What bash offers for the words typed, the cursor at the end of the last one; sorted, one line.
  # Words are split as bash splits them: "--type=c" is "--type" "=" "c".
  offered() {
    (cd "$folder" && bash -c '
      source "$1"; source "$2"; shift 2
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_LINE=${COMP_LINE// = /=}; COMP_POINT=${#COMP_LINE}
      _jitterform_cli jitterform-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
      printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' _ "$library" "$script" "$@")
  }

  # words typed (the last one is being completed) | what must be offered
  while IFS='|' read -r words expected; do
    read -ra line <<<"$words"
    [[ $words == *' ' ]] && line+=("")
    got=$(offered "${line[@]}")
    [ "$got" = "$expected" ] || fail "\"$words\" offers \"$got\", not \"$expected\""
  done <<'EOF'
jitterform-cli --ty|--type
jitterform-cli --type |cubic squared white
jitterform-cli -t sq|squared
jitterform-cli --type = c|cubic
jitterform-cli -a n|none
jitterform-cli |B.OBJ a.obj models
jitterform-cli a.obj |B.OBJ a.obj models
jitterform-cli -o |models
jitterform-cli --preview |models pic.png
jitterform-cli --day |
EOF

  local all option
  all=" $(offered jitterform-cli -) "
  while read -r option; do
    [[ $all == *" $option "* ]] || fail "the completion does not offer $option"
  done < <(helpOptions "$cli")
}

case ${1:-} in
  manuals | desktop | completion) "$@" ;;
  *) echo "usage: $0 manuals|desktop|completion ..." >&2; exit 2 ;;
esac
if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "passed: $1"
