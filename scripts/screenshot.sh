#!/usr/bin/env bash
# Whole-screen pictures of the skinned window on a real X display, for looking at:
# a private Xvfb with a white root (-wr, so the cut-away corners show white), the program
# started with a private settings folder, web root and a free port, driven by xdotool.
# A skin folder with only its background (the whole built-in skin and its message).
# Then the tray (Debian's trayer as notification area): minimise, its menu, back, its menu
# and a double-click while a dialog is open, a tray that goes away, exit from it (also over
# a dialog); a second start raising the first, and meeting a headless first; help opened into a stand-in browser; a message box holding
# markup; and the help pages in headless Chromium when it is installed.
# Also runs the main-window and dialog tests on that display: mainwindow.png, every
# settings dialog filled in, Qt's file and colour choosers in Japanese, the URL registration with a fetched category list, the about
# box twice half a second apart, and the boxes of a failed link and a refused port.
# Then the image settings windows' tests on a 1280 x 1024 display: whole-screen pictures of
# "イメージ設定", "イメージキャプション", the colour popup, the colour button's states (zoomed),
# the font chooser, and the frame.jpg composed after their OK.
# Installs xdotool and trayer for itself when they are missing (root or sudo).
# Pictures go to build/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo_root=$(pwd)

need=()
command -v xdotool >/dev/null || need+=(xdotool)
command -v trayer >/dev/null || need+=(trayer)
command -v curl >/dev/null || need+=(curl)
/usr/bin/python3 -c 'import PIL' 2>/dev/null || need+=(python3-pil)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=(); [ "$(id -u)" -eq 0 ] || SUDO=(sudo)
  echo "screenshot: installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi

[ -d build ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kestrel kestrel_tests_ui >/dev/null
out="$PWD/build/screenshots"
kestrel="$PWD/build/kestrel"
mkdir -p "$out"
work=$(mktemp -d /tmp/kestrel-shots.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "screenshot: no free display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x800x24 -wr -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY="$display"

free_port() { /usr/bin/python3 "$repo_root/bench/server_port.py"; }
shoot() { /usr/bin/python3 -c "from PIL import ImageGrab; ImageGrab.grab(xdisplay='$display').save('$out/$1')"; echo "screenshot: $out/$1"; }

# Starts Kestrel with its own settings (extra lines after the main key's values) and
# waits for its window. Sets $kpid, $kwin and $kport.
start_kestrel() {
  local name=$1 extra=${2:-} drivers=${3:-}
  local home="$work/$name"
  mkdir -p "$home/config/Velmora" "$home/www"
  kport=$(free_port)
  {
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n'
    printf '"uPort"=dword:%08x\n"strRoot"="%s/www"\n"UrlAutoexec"=dword:00000000\n' "$kport" "$home"
    printf '%b' "$extra"
    if [ -n "$drivers" ]; then
      printf '\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\Drivers\\TestPattern]\n%b' "$drivers"
    fi
  } > "$home/config/Velmora/Kestrels.reg"
  chmod 600 "$home/config/Velmora/Kestrels.reg"
  # Started from its home, where it writes its hit log.
  (cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=xcb exec "$kestrel" >"$home/log" 2>&1) &
  kpid=$!
  pids+=($kpid)
  kwin=""
  for _ in $(seq 100); do
    kwin=$(xdotool search --pid "$kpid" --name '^Kestrel$' 2>/dev/null | head -1 || true)
    [ -n "$kwin" ] && break
    sleep 0.1
  done
  [ -n "$kwin" ] || { echo "screenshot: no window from kestrel ($name)" >&2; cat "$home/log" >&2; exit 1; }
  xdotool windowmove "$kwin" 40 40
  sleep 1
}
stop_kestrel() {
  kill "$kpid" 2>/dev/null || true
  wait "$kpid" 2>/dev/null || true
}
# Pointer to window co-ordinates x, y of the Kestrel window.
point() { xdotool mousemove --window "$kwin" "$1" "$2"; sleep 0.4; }

# 1. Class 0: the test pattern at 176 x 144.
start_kestrel class0 '"CaptureDevice"=dword:00000000\n' '"Size"=dword:00000002\n'
point 600 600
shoot window-class0.png
stop_kestrel

# 2. Class 2: the test pattern at 640 x 480 in a 933 x 690 window.
start_kestrel class2 '"CaptureDevice"=dword:00000000\n' '"Size"=dword:00000005\n'
point 1100 760
shoot window-class2.png
stop_kestrel

# 3. A row hovered; the test pattern has no display dialog, so "ビデオ表示" is greyed.
start_kestrel hover '"CaptureDevice"=dword:00000000\n' '"Size"=dword:00000002\n'
point 60 151
shoot window-row-hovered.png
# 4. Stopped after a click on the stop button.
point 250 120
xdotool click 1
sleep 0.8
point 600 600
shoot window-stopped.png
stop_kestrel

# 5. The viewer meter and the activity lamp while pictures are fetched.
start_kestrel meter '"CaptureDevice"=dword:00000000\n' '"Size"=dword:00000002\n'
for i in 1 2 3; do
  ( while :; do curl -s -o /dev/null "http://127.0.0.1:$kport/frame.jpg" || true; done ) &
  pids+=($!)
done
sleep 3
shoot window-meter-lamp.png
for p in "${pids[@]: -3}"; do kill "$p" 2>/dev/null || true; done
stop_kestrel

# 6. A skin folder made by the script, in another colour.
/usr/bin/python3 scripts/make-skin-pictures.py --folder "$work/redskin" --colour 150,60,40 >/dev/null
start_kestrel skinfolder "\"SkinBmp\"=\"$work/redskin/\"\n\"CaptureDevice\"=dword:00000000\n" '"Size"=dword:00000002\n'
point 600 600
shoot window-skin-folder.png
stop_kestrel

# 6b. A skin folder holding only its background: the whole built-in skin, buttons and all,
#     and a message naming the missing pictures.
mkdir -p "$work/halfskin"
cp "$work/redskin/base.bmp" "$work/halfskin/"
start_kestrel halfskin "\"SkinBmp\"=\"$work/halfskin/\"\n\"CaptureDevice\"=dword:00000000\n" '"Size"=dword:00000002\n'
sleep 1
shoot window-skin-fallback.png
xdotool key Return   # the message
sleep 0.5
point 600 600
shoot window-skin-fallback-buttons.png
stop_kestrel

# The tray: Debian's trayer as the notification area at the top right of the screen.
# Help pages "open" in a stand-in browser that notes the address it was given.
printf '#!/bin/sh\necho "$1" >> "%s/opened"\n' "$work" > "$work/browser"
chmod +x "$work/browser"
mkdir -p "$work/no-desktop-files"
export BROWSER="$work/browser" XDG_DATA_DIRS="$work/no-desktop-files"
start_trayer() {
  trayer --edge top --align right --widthtype request --height 32 --transparent false --tint 0xffffff \
    --SetDockType false >/dev/null 2>&1 &
  traypid=$!
  pids+=($traypid)
  sleep 1
}
# Centre of the icon: the panel sits at the top right and is as wide as its one icon.
tray_icon_point() {
  local w h
  read -r w h < <(xdotool getdisplaygeometry)
  echo "$((w - 16)) 16"
}
hidden() { ! xdotool search --onlyvisible --pid "$kpid" 2>/dev/null | grep -qx "$kwin"; }
minimise_button() { point 348 19; xdotool click 1; sleep 1; }

# 7. Minimised into the tray; its menu; back with a double-click.
start_trayer
start_kestrel tray
minimise_button
hidden || { echo "screenshot: the window did not go to the tray" >&2; exit 1; }
shoot tray-hidden.png
read -r ix iy < <(tray_icon_point)
xdotool mousemove "$ix" "$iy" click 3
sleep 1
shoot tray-menu.png
xdotool key Escape
sleep 0.5
xdotool mousemove "$ix" "$iy" click --repeat 2 --delay 80 1
sleep 1
hidden && { echo "screenshot: a double-click did not bring the window back" >&2; exit 1; }
shoot tray-restored.png

# 8. A dialog opened from the hidden window's tray closes without ending the program.
minimise_button
xdotool mousemove "$ix" "$iy" click 3
sleep 0.8
xdotool key Down Down Down Down Return   # "サーバー設定"
sleep 1.5
shoot tray-dialog.png
# 8b. The icon's menu opens over the open dialog (only 終了 can be chosen); a double-click
#     brings the window back with its dialog.
xdotool mousemove "$ix" "$iy" click 3
sleep 1
shoot tray-menu-over-dialog.png
xdotool key Escape
sleep 0.5
xdotool mousemove "$ix" "$iy" click --repeat 2 --delay 80 1
sleep 1.5
hidden && { echo "screenshot: a double-click with a dialog open did not bring the window back" >&2; exit 1; }
shoot tray-restored-with-dialog.png
xdotool key Escape
sleep 1
kill -0 "$kpid" || { echo "screenshot: closing the dialog ended the program" >&2; exit 1; }
minimise_button
# A single click brings the window back once no second click followed.
xdotool mousemove "$ix" "$iy" click 1
sleep 1.5
hidden && { echo "screenshot: a single click did not bring the window back" >&2; exit 1; }
minimise_button

# 9. The tray goes away while the window is hidden: the window comes back within 2 s.
kill "$traypid"; wait "$traypid" 2>/dev/null || true
sleep 3
hidden && { echo "screenshot: the window stayed hidden without a tray" >&2; exit 1; }
shoot tray-gone.png

# 10. Without a tray the minimise button never hides the window.
minimise_button
hidden && { echo "screenshot: the window hid without a tray" >&2; exit 1; }

# 11. Help: the help button opens the main window's page.
point 318 19
xdotool click 1
for _ in $(seq 50); do grep -qs "kestrel.help/ctx-20080.html" "$work/opened" && break; sleep 0.2; done
grep -qs "kestrel.help/ctx-20080.html" "$work/opened" || { echo "screenshot: help opened nothing" >&2; exit 1; }
echo "screenshot: help opened $(cat "$work/opened")"
stop_kestrel

# 12. Exit from the tray menu while hidden: settings saved, status 0.
start_trayer
start_kestrel trayexit
minimise_button
read -r ix iy < <(tray_icon_point)
xdotool mousemove "$ix" "$iy" click 3
sleep 0.8
xdotool key Up Return   # "終了(E&)", the last item
rc=0; wait "$kpid" || rc=$?
[ "$rc" -eq 0 ] || { echo "screenshot: exit from the tray ended with status $rc" >&2; exit 1; }
grep -q '"uPort"' "$work/trayexit/config/Velmora/Kestrels.reg"
echo "screenshot: exit from the tray: status 0, settings saved"
kill "$traypid"; wait "$traypid" 2>/dev/null || true

# 12b. 終了 from the icon's menu while a dialog is open: the dialog closes, settings saved, status 0.
start_trayer
start_kestrel trayexitdialog
minimise_button
read -r ix iy < <(tray_icon_point)
xdotool mousemove "$ix" "$iy" click 3
sleep 0.8
xdotool key Down Down Down Down Return   # "サーバー設定"
sleep 1.5
xdotool mousemove "$ix" "$iy" click 3
sleep 0.8
xdotool key Up Return   # "終了(E&)"
for _ in $(seq 100); do kill -0 "$kpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$kpid" 2>/dev/null && { echo "screenshot: 終了 from the menu over a dialog did not end the program" >&2; exit 1; }
rc=0; wait "$kpid" || rc=$?
[ "$rc" -eq 0 ] || { echo "screenshot: exit from the tray over a dialog ended with status $rc" >&2; exit 1; }
grep -q '"uPort"' "$work/trayexitdialog/config/Velmora/Kestrels.reg"
echo "screenshot: exit from the tray over a dialog: status 0, settings saved"
kill "$traypid"; wait "$traypid" 2>/dev/null || true

# 12c. A second start with a display brings the first copy forward and exits 0; with the
#      first copy headless, a message names the settings file and its process.
mkdir -p "$work/run"; chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
start_kestrel twice
xdotool windowminimize "$kwin" 2>/dev/null || true
(cd "$work/twice" && HOME="$work/twice" XDG_CONFIG_HOME="$work/twice/config" QT_QPA_PLATFORM=xcb \
  timeout 20 "$kestrel" >"$work/twice/log2" 2>&1) && rc=0 || rc=$?
[ "$rc" -eq 0 ] || { echo "screenshot: the second start ended with status $rc" >&2; exit 1; }
sleep 0.5
shoot second-start-raised.png
stop_kestrel
(cd "$work/twice" && HOME="$work/twice" XDG_CONFIG_HOME="$work/twice/config" exec "$kestrel" --headless \
  >"$work/twice/headless.log" 2>&1) &
hpid=$!; pids+=($hpid)
sleep 2
(cd "$work/twice" && HOME="$work/twice" XDG_CONFIG_HOME="$work/twice/config" QT_QPA_PLATFORM=xcb \
  exec "$kestrel" >"$work/twice/log3" 2>&1) &
spid=$!; pids+=($spid)
sleep 2
shoot second-start-headless.png
kill "$spid" "$hpid" 2>/dev/null || true
wait "$spid" "$hpid" 2>/dev/null || true

# 13. A message box holding markup shows it as typed (a settings folder named with tags
#     and a settings file that is not UTF-8).
start_kestrel '<b>bold</b>' '"Damaged"="\xff"\n'
shoot box-markup.png
stop_kestrel

# The help pages in a headless browser.
if command -v chromium >/dev/null; then
  for page in contents ctx-20080; do
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
      --disable-component-update --disable-sync --user-data-dir="$work/chromium" --window-size=1000,1400 \
      --screenshot="$out/help-$page.png" "file://$PWD/build/kestrel.help/$page.html" >/dev/null 2>&1
    echo "screenshot: $out/help-$page.png"
  done
fi

# The main-window and dialog tests on this display, with pictures.
dialogs=(basic-settings html-settings url-registration about-1 about-2 cant-open-link server-port-dialog
         server-port-refused file-chooser-ja color-chooser-ja)
rm -f "$out/mainwindow.png"
for f in "${dialogs[@]}"; do rm -f "$out/$f.png"; done
QT_QPA_PLATFORM=xcb KESTREL_SCREENSHOT="$out/mainwindow.png" KESTREL_SCREENSHOT_DIR="$out" \
  build/tests/kestrel_tests_ui --gtest_filter='WindowedApp.*:DialogPictures.*'
for f in mainwindow "${dialogs[@]}"; do
  test -s "$out/$f.png" || { echo "screenshot missing: $f.png" >&2; exit 1; }
  echo "screenshot: $out/$f.png"
done

# The image settings windows, on a display of their own size.
image_shots=(image-settings color-popup caption color-button-screen color-button-states font-chooser
             image-settings-edited caption-edit)
for name in "${image_shots[@]}"; do rm -f "$out/$name.png"; done
rm -f "$out/frame.jpg"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb KESTREL_SCREENSHOT_DIR="$out" build/tests/kestrel_tests_ui \
  --gtest_filter='ImageSettingsScreens.*'
for name in "${image_shots[@]}"; do
  test -s "$out/$name.png"
  echo "screenshot: $out/$name.png"
done
test -s "$out/frame.jpg"
echo "composed frame: $out/frame.jpg"
