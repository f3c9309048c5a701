#!/usr/bin/env bash
# Runs the camera checks against the kernel's virtual video driver, inside a throw-away
# virtual machine (../shared/tools/vivid-run beside the project folder). Skips, with one line
# saying why, when that tool or the packages it needs are missing.
#
#   tests/camera-vm/run.sh [--install] [build-folder]      (default: build)
#
# --install first installs the packages the virtual machine needs (when the tool is there).
# VIVID_RUN names the tool; by default it is looked for in shared/tools of the folders above.
set -euo pipefail
cd "$(dirname "$0")/../.."
INSTALL=0
if [ "${1:-}" = "--install" ]; then
  INSTALL=1
  shift
fi
BUILD=${1:-build}
if [ -z "${VIVID_RUN:-}" ]; then
  dir=$(cd .. && pwd)
  while :; do
    if [ -x "$dir/shared/tools/vivid-run" ]; then
      VIVID_RUN=$dir/shared/tools/vivid-run
      break
    fi
    [ "$dir" = / ] && break
    dir=$(dirname "$dir")
  done
fi
VIVID_RUN=${VIVID_RUN:-../shared/tools/vivid-run}

skip() {
  echo "camera-vm: skipped: $*"
  exit 0
}
[ -x "$VIVID_RUN" ] || skip "no vivid-run at $VIVID_RUN"
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
run_vm() {
  local opts=$1
  shift
  echo "camera-vm: vivid ${opts:-(default options)}: $*"
  if ! VIVID_RUN_ACCEL=tcg VIVID_OPTS="$opts" "$VIVID_RUN" --timeout 420 --vivid-opts "$opts" -- "$@"; then
    status=1
  fi
}
# One machine with the driver's default nodes: the capture layer's own checks, then the program's.
run_vm "" sh -c "$BUILD/tests/kestrel_camera_vm_tests && /usr/bin/python3 tests/camera-vm/checks.py $BUILD/kestrel streaming unplug busy motion"
# Two capture-only devices: the second one can be chosen and streams.
run_vm "n_devs=2 node_types=0x1,0x1" sh -c "$BUILD/tests/kestrel_camera_vm_tests --gtest_filter='*ListsCaptureNodes*' && /usr/bin/python3 tests/camera-vm/checks.py $BUILD/kestrel second"
echo "camera-vm: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - started)) s"
exit $status
