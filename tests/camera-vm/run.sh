#!/usr/bin/env bash
# Runs the camera checks against the kernel's virtual video driver, inside a throw-away
# virtual machine started by tests/camera-vm/vm-run. Skips, with one line saying why, when
# a package the machine needs is missing.
#
#   tests/camera-vm/run.sh [--install] [build-folder]      (default: the project's build)
#
# --install first installs the packages the virtual machine needs.
# The build folder may be anywhere; the machine shares it with the program read-write.
set -euo pipefail
INSTALL=0
if [ "${1:-}" = "--install" ]; then
  INSTALL=1
  shift
fi
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
[ -d "$BUILD" ] || { echo "camera-vm: no build folder $BUILD: build first" >&2; exit 1; }
BUILD=$(cd "$BUILD" && pwd)
cd "$ROOT"

skip() {
  echo "camera-vm: skipped: $*"
  exit 0
}
[ $INSTALL -eq 1 ] && scripts/install-deps.sh --camera-vm
for p in qemu-system-x86 linux-image-amd64 busybox-static kmod v4l-utils python3-pil; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    skip "package $p is missing (scripts/install-deps.sh --camera-vm installs it)"
done
for f in "$BUILD/kestrel" "$BUILD/tests/kestrel_camera_vm_tests"; do
  [ -x "$f" ] || { echo "camera-vm: $f is missing: build first" >&2; exit 1; }
done

started=$(date +%s)
status=0
# The runner itself first: what it prepares here, then a few short machines.
echo "camera-vm: the virtual-machine runner's own checks"
/usr/bin/python3 tests/camera-vm/vm_run_test.py || status=1
run_vm() {
  local opts=$1 udev=
  shift
  if [ "${1:-}" = "--udev" ]; then
    udev=--udev
    shift
  fi
  echo "camera-vm: vivid ${opts:-(default options)}${udev:+ with udev}: $*"
  # checks.py reloads vivid with the same options (VIVID_OPTS) after removing it.
  if ! VIVID_OPTS="$opts" tests/camera-vm/vm-run --timeout 420 $udev --share "$BUILD" --vivid-opts "$opts" -- "$@"; then
    status=1
  fi
}
# One machine with the driver's default nodes: the capture layer's own checks, then the program's.
run_vm "" sh -c "'$BUILD/tests/kestrel_camera_vm_tests' && /usr/bin/python3 tests/camera-vm/checks.py '$BUILD/kestrel' streaming unplug busy motion"
# Two capture-only devices: the second one can be chosen and streams.
run_vm "n_devs=2 node_types=0x1,0x1" sh -c "'$BUILD/tests/kestrel_camera_vm_tests' --gtest_filter='*ListsCaptureNodes*' && /usr/bin/python3 tests/camera-vm/checks.py '$BUILD/kestrel' second"
# Two capture-only devices with udev's stable links: the camera list and a stored link.
run_vm "n_devs=2 node_types=0x1,0x1" --udev /usr/bin/python3 tests/camera-vm/checks.py "$BUILD/kestrel" names
echo "camera-vm: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - started)) s"
exit $status
