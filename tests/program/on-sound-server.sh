#!/usr/bin/env bash
# With a sound server, the program comes up on the sound card and stays up without a message.
set -u
exe=$1
log=$(mktemp)
SONARIX_MESSAGES_TO_STDERR=1 QT_QPA_PLATFORM=offscreen "$exe" 2>"$log" &
app=$!
sleep 2
if ! kill -0 "$app" 2>/dev/null; then
    echo "FAIL: the program ended"; cat "$log"; exit 1
fi
kill "$app"; wait "$app" 2>/dev/null
if grep -q "Cannot" "$log"; then
    echo "FAIL: start-up message"; cat "$log"; exit 1
fi
rm -f "$log"
echo "program on the sound server: ok"
