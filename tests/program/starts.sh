#!/usr/bin/env bash
# The program as a process: --version and --help answer and exit 0 without a display, a
# mistyped option exits 2; on the
# virtual apparatus it shows its window under Xvfb; without a sound server it reports the
# output failure and exits non-zero.
set -u
exe=$1
scripts=$2
fail() { echo "FAIL: $*"; exit 1; }

# --version: one line, exit 0, no display and no sound server needed.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY PULSE_SERVER=unix:/nonexistent/pulse timeout 10 "$exe" --version)
rc=$?
[ "$rc" -eq 0 ] || fail "--version exit code $rc"
echo "$version" | grep -Eqx 'Sonarix [0-9]+\.[0-9]+' || fail "--version printed: $version"

# --help: the usage on standard output, exit 0; a mistyped option: the usage on standard
# error, exit 2, and the program does not start (no display is there to start on).
help=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 10 "$exe" --help)
rc=$?
[ "$rc" -eq 0 ] || fail "--help exit code $rc"
echo "$help" | grep -q -- '--virtual' || fail "--help printed: $help"
wrong=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 10 "$exe" --virtaul 2>&1 >/dev/null)
rc=$?
[ "$rc" -eq 2 ] || fail "--virtaul exit code $rc"
echo "$wrong" | grep -q 'unknown argument "--virtaul"' || fail "--virtaul printed: $wrong"
echo "$wrong" | grep -q '^Usage: sonarix' || fail "--virtaul printed no usage: $wrong"

# Without a sound server: the message, then a non-zero exit.
err=$(PULSE_SERVER=unix:/nonexistent/pulse SONARIX_MESSAGES_TO_STDERR=1 QT_QPA_PLATFORM=offscreen \
      timeout 20 "$exe" 2>&1 >/dev/null)
rc=$?
echo "$err" | grep -qx "Cannot initialize Sound Card for output" || fail "no output message: $err"
[ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] || fail "exit code $rc"

# On the virtual apparatus under Xvfb: the main window appears.
out=$(mktemp -d)
SONARIX_EXE="$exe" "$scripts/screenshot" "$out/main.png" || fail "no screenshot"
[ -s "$out/main.png" ] || fail "empty screenshot"
rm -rf "$out"
echo "program starts: ok"
