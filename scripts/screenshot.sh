#!/usr/bin/env bash
# Runs the main-window tests on a real X display (a private Xvfb) and keeps a picture of
# the window: build/screenshots/mainwindow.png. Needs a built tree (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --build build --target kestrel_tests_ui
mkdir -p build/screenshots
out="$PWD/build/screenshots/mainwindow.png"
rm -f "$out"
xvfb-run -a -s "-screen 0 1024x768x24" \
  env QT_QPA_PLATFORM=xcb KESTREL_SCREENSHOT="$out" build/tests/kestrel_tests_ui --gtest_filter='WindowedApp.*'
test -s "$out"
echo "screenshot: $out"
