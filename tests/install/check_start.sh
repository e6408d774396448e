#!/usr/bin/env bash
# How the built program starts from a terminal with no display: version, help, usage errors
# (which never open the window) and the window commands, which end with one line instead of
# Qt's abort. Usage: check_start.sh FOLIOFORGE VERSION
set -uo pipefail
bin=$1
version=$2
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the program with the variables in envs (with a time limit, so that an opened window
# shows as 124) and keeps its exit status and both outputs.
envs=()
start() {
  env "${envs[@]}" timeout 10 "$bin" "$@" >"$dir/out" 2>"$dir/err"
  status=$?
  out=$(cat "$dir/out")
  err=$(cat "$dir/err")
}
expect() { # STATUS DESCRIPTION
  [ "$status" -eq "$1" ] || fail "$2: exit $status, not $1 (stdout: $out, stderr: $err)"
}

for flag in --version -V; do
  start "$flag"
  expect 0 "$flag"
  [ "$(head -n 1 <<<"$out")" = "folioforge $version" ] && grep -q "GPL-3.0-or-later" <<<"$out" &&
    [ -z "$err" ] || fail "$flag prints '$out' '$err'"
done

mkdir "$dir/pages"
# Help wherever -h stands, for the command it follows, and for the window's files.
for line in "-h" "$dir/pages --help" "make -o x --bogus -h" "probe a b -h" "inspect a b --help"; do
  read -ra words <<<"$line"
  start "${words[@]}"
  expect 0 "$line"
  case ${words[0]} in
    probe | make | inspect) usage="Usage: folioforge ${words[0]} " ;;
    *) usage="Usage: folioforge [FILE...]" ;;
  esac
  [[ $(head -1 <<<"$out") == "$usage"* ]] || fail "$line shows: $(head -1 <<<"$out")"
done

# Usage errors: one line naming the word, the try-help line, exit 2; under a platform that
# needs no display, so that a window opened by mistake would show as a time-out.
try="Try 'folioforge --help' for more information."
for case in "mkae|unknown command 'mkae'" "--bogus|unknown option '--bogus'" \
            "$dir/pages -x|unknown option '-x'" "scan01.jpg|no such file or folder 'scan01.jpg'"; do
  read -ra words <<<"${case%%|*}"
  envs=(QT_QPA_PLATFORM=offscreen)
  start "${words[@]}"
  envs=()
  expect 2 "${case%%|*}"
  [ "$err" = "folioforge: ${case#*|}"$'\n'"$try" ] && [ -z "$out" ] \
    || fail "${case%%|*} says: $err"
done

# The window commands with no display, or with a platform that cannot start.
commands=$("$bin" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]*\) .*/\1/p' | paste -sd, | sed 's/,/, /g')
line="folioforge: cannot open the window: no display; the $commands commands work without one"
for how in "" "$dir/pages" "QT_QPA_PLATFORM=xcb" "DISPLAY=:97" "WAYLAND_DISPLAY=nowhere-97"; do
  if [[ $how == *=* ]]; then
    envs=("$how")
    start
    envs=()
  else
    start $how
  fi
  expect 1 "window with '${how:-nothing}'"
  [ "$err" = "$line" ] && [ -z "$out" ] || fail "window with '${how:-nothing}' says: $err"
done

# A platform named outright still opens the window, which then waits for the user.
QT_QPA_PLATFORM=offscreen timeout 3 "$bin" "$dir/pages" >/dev/null 2>&1
status=$?
[ "$status" -eq 124 ] || fail "offscreen window ended with $status instead of running"

echo "start-up checked: $bin"
