#!/usr/bin/env bash
# The layer check itself: it passes on the source tree and fails on each kind of wrong include,
# planted one at a time in a copy of the tree.
set -u
check=$1
src=$2
fail() { echo "FAIL: $*"; exit 1; }

"$check" "$src" >/dev/null || fail "the source tree does not pass"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One copy of the tree; each wrong include is planted alone and taken out again.
mkdir -p "$work/tree"
for d in physics platform measurement config fitting wavefunction session plot ui app; do
    [ -d "$src/$d" ] && cp -r "$src/$d" "$work/tree/"
done
expect_failure() {
    local file=$1 include=$2 what=$3
    mkdir -p "$work/tree/$(dirname "$file")"
    printf '// planted\n#include %s\n' "$include" >"$work/tree/$file"
    out=$("$check" "$work/tree" 2>&1) && fail "$what passed: $out"
    rm -f "$work/tree/$file"
    grep -q "^$file:2: " <<<"$out" || fail "$what not named: $out"
    echo "caught: $what"
}

expect_failure measurement/Planted.cpp '"ui/main/MainWindow.h"' "measurement/ including a window"
expect_failure platform/audio/Planted.h '"plot/Canvas.h"' "platform/ including plot/"
expect_failure physics/Planted.h '"platform/Clock.h"' "physics/ including platform/"
expect_failure platform/Planted.cpp '"measurement/SharedState.h"' "platform/ including measurement/"
expect_failure measurement/Planted.h '<QWidget>' "measurement/ including Qt Widgets"
expect_failure platform/Planted.h '<QtWidgets/QDialog>' "platform/ including QtWidgets/"
expect_failure plot/Planted.cpp '"ui/main/PlotDrawing.h"' "plot/ including a window folder"
expect_failure ui/main/Planted.cpp '"app/Program.h"' "a window including app/"
expect_failure config/Planted.cpp '<QPushButton>' "an engine including Qt Widgets"
expect_failure fitting/Planted.h '"plot/Axes.h"' "an engine including plot/"
expect_failure fitting/Planted.h '"session/SessionData.h"' "an engine including an engine above it"
expect_failure ui/main/Planted.cpp '"ui/config/SerialPortDialog.h"' \
    "a window including another area's window"
expect_failure wavefunction/Planted.cpp '"ui/config/VirtualApparatusWindow.h"' \
    "an engine including a window"

# Includes that are allowed stay allowed.
printf '#include "plot/Canvas.h"\n#include "ui/main/LiveViews.h"\n#include <QImage>\n' \
    >"$work/tree/ui/main/Planted.cpp"
printf '#include "measurement/SharedState.h"\n#include "physics/SphereTheory.h"\n#include <QString>\n' \
    >"$work/tree/measurement/Planted.h"
"$check" "$work/tree" >/dev/null || fail "allowed includes refused"
echo "layer check: ok"
