#!/usr/bin/env bash
# The program as a process: --version prints the version and exits 0 without a display; on the
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
