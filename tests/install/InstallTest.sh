#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the programs from there: catches files
# the install leaves out, files it should not carry (test programs, libraries), and programs
# that only work from the build folder.
# usage: InstallTest.sh CMAKE BUILD_DIR GUI(0|1) [PYTHON_DIR]
set -uo pipefail
cmake=$1 build=$2 gui=$3
here=$(dirname "$0")
# shellcheck source=tests/install/InstalledFiles.sh
source "$here/InstalledFiles.sh"
module=$(python_module "$build" "${4:-}")

prefix=$(mktemp -d)
sim_pid=
failures=0
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
  cat "$prefix.log"
  rm -f "$prefix.log"
  echo "install.tree: FAIL (cmake --install)"
  exit 1
fi
rm -f "$prefix.log"

# Exactly the expected files, the programs executable.
found=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
expected=$(installed_files "$gui" "$module" | sort)
missing=$(comm -13 <(echo "$found") <(echo "$expected"))
extra=$(comm -23 <(echo "$found") <(echo "$expected"))
[ -z "$missing" ] || fail "not installed: ${missing//$'\n'/ }"
[ -z "$extra" ] || fail "installed but not expected: ${extra//$'\n'/ }"
for program in "$prefix"/bin/*; do
  [ -x "$program" ] || fail "$program is not executable"
done

# The desktop entry starts an installed program and names the installed icon.
if [ "$gui" = 1 ]; then
  entry="$prefix/share/applications/karvo-sp.desktop"
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not an installed program"
  [ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no icon"
  grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" || fail "icon is no SVG"
  grep -qx 'Terminal=false' "$entry" || fail "the desktop entry opens a terminal"
  help=$("$prefix/bin/karvo-sp" --help) || fail "karvo-sp --help exited with $?"
  [[ "$help" == *"Usage: karvo-sp"* ]] || fail "karvo-sp --help: $help"
fi

# The man page names every command the program's own help lists.
help=$("$prefix/bin/karvo-cli" --help) || fail "karvo-cli --help exited with $?"
[[ "$help" == "usage: karvo-cli"* ]] || fail "karvo-cli --help: $help"
page=$(sed 's/\\-/-/g' "$prefix/share/man/man1/karvo-cli.1")
commands=$(echo "$help" | sed -n '/^commands:/,/^[a-z]/s/^  \([a-z][a-z-]*\).*/\1/p')
[ -n "$commands" ] || fail "no commands found in karvo-cli --help"
for command in $commands; do
  grep -Eq "^\.B[IR]? $command( |$)" <<<"$page" || fail "the man page lacks '$command'"
done
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/karvo-cli.1" 2>&1)
  [ -z "$warnings" ] || fail "man page: $warnings"
fi

# The installed simulator and the installed command line talk to each other.
sim_out="$prefix/sim.out"
"$prefix/bin/karvo-sim" --baud 19200 --address 17 --serial 4321 >"$sim_out" 2>&1 &
sim_pid=$!
device=
for _ in $(seq 300); do
  device=$(head -n 1 "$sim_out")
  [ -n "$device" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ "$device" != /dev/* ]]; then
  fail "karvo-sim printed no device path: $(cat "$sim_out")"
else
  # command line | expected exit status | expected in the output (stdout and stderr)
  cases=(
    "--port $device --baud 19200 --address 17 identify|0|serial_number: 4321"
    "--port $prefix/no-such-tty identify|3|cannot open"
  )
  for case in "${cases[@]}"; do
    IFS='|' read -r args want_status want_text <<<"$case"
    # shellcheck disable=SC2086  # the arguments are split on purpose
    output=$("$prefix/bin/karvo-cli" $args 2>&1)
    status=$?
    [ "$status" = "$want_status" ] || fail "karvo-cli $args: exit $status, not $want_status: $output"
    [[ "$output" == *"$want_text"* ]] || fail "karvo-cli $args: no '$want_text' in: $output"
  done
  # The installed module, from Debian's python3, talks to the installed simulator too.
  if [ -n "$module" ] && [ -z "${KARVO_NO_IMPORT:-}" ]; then
    python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    serial=$(PYTHONPATH="$prefix/${4:-}" "$python" -c \
      "import karvo; print(karvo.Sensor('$device', 19200, 17).identify().serial_number)" 2>&1)
    [ "$serial" = 4321 ] || fail "import karvo from the install: $serial"
  fi
  kill -TERM "$sim_pid"
  wait "$sim_pid"
  status=$?
  sim_pid=
  [ "$status" = 0 ] || fail "karvo-sim ended with $status on SIGTERM"
fi

if [ "$failures" -ne 0 ]; then
  echo "install.tree: FAIL ($failures)"
  exit 1
fi
echo "install.tree: PASS"
