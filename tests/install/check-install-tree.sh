#!/bin/sh
# Installs the build into a temporary DESTDIR and checks what lands there: the exact file
# list, the program answering from its installed place and finding its help pages there,
# and the desktop entry, AppStream metadata, manual page and units passing their validators
# (each validator that is not installed is reported as skipped).
# Usage: check-install-tree.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail=0
problem() { echo "install-tree: $*" >&2; fail=1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null

# The file list: every file the rules install, and nothing else.
expected=$(mktemp -p "$dest")
{
    echo etc/fail2ban/filter.d/kestrel.conf
    echo usr/bin/kestrel
    echo usr/lib/systemd/system/kestrel.service
    echo usr/lib/systemd/system/kestrel@.service
    echo usr/lib/systemd/user/kestrel.service
    echo usr/share/applications/net.velmora.Kestrel.desktop
    echo usr/share/doc/kestrel/changelog.gz
    echo usr/share/doc/kestrel/copyright
    echo usr/share/doc/kestrel/examples/kestrel-jail.conf
    echo usr/share/man/man1/kestrel.1.gz
    echo usr/share/metainfo/net.velmora.Kestrel.metainfo.xml
    if [ -d "$source/resources/help" ]; then
        (cd "$source/resources/help" && find . -type f | sed 's|^\./|usr/share/kestrel/help/|')
    fi
    if ls "$source"/resources/skin/icon128-*.png >/dev/null 2>&1; then
        for n in 16 22 24 32 48 64 128 256; do echo "usr/share/icons/hicolor/${n}x${n}/apps/kestrel.png"; done
    fi
} | sort > "$expected"
actual=$(mktemp -p "$dest")
(cd "$dest" && find etc usr -type f | sort) > "$actual"
if ! diff -u "$expected" "$actual" >&2; then
    problem "the installed files differ from the expected list (- expected, + installed)"
fi

program="$dest/usr/bin/kestrel"
version=$("$program" --version) || problem "kestrel --version failed"
[ "$version" = "Kestrel Version 2.10" ] || problem "kestrel --version said: $version"
helpline=$("$program" --help | grep '^Help pages: ' || true)
if [ -d "$source/resources/help" ]; then
    [ "$helpline" = "Help pages: $dest/usr/share/kestrel/help" ] ||
        problem "the installed program looks for its help pages elsewhere: $helpline"
    [ -f "$dest/usr/share/kestrel/help/contents.html" ] || problem "no contents.html among the help pages"
else
    echo "install-tree: no help pages in the source yet; their place is not checked"
fi

# The hicolor sizes are the sizes their folders name.
if [ -d "$dest/usr/share/icons/hicolor" ] && command -v /usr/bin/python3 >/dev/null; then
    /usr/bin/python3 - "$dest/usr/share/icons/hicolor" <<'PY' || problem "an icon has the wrong size"
import os, sys
from PIL import Image
root = sys.argv[1]
bad = 0
for folder in os.listdir(root):
    n = int(folder.split("x")[0])
    size = Image.open(os.path.join(root, folder, "apps", "kestrel.png")).size
    if size != (n, n):
        print(f"install-tree: {folder}/apps/kestrel.png is {size[0]}x{size[1]}", file=sys.stderr)
        bad = 1
sys.exit(bad)
PY
fi

run_validator() {
    tool=$1
    shift
    if ! command -v "$tool" >/dev/null; then
        echo "install-tree: $tool is not installed; skipped"
        return
    fi
    "$@" >&2 || problem "$tool rejected: $*"
}
run_validator desktop-file-validate desktop-file-validate "$dest/usr/share/applications/net.velmora.Kestrel.desktop"
run_validator appstreamcli appstreamcli validate --no-net "$dest/usr/share/metainfo/net.velmora.Kestrel.metainfo.xml"
if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$dest/usr/share/man/man1/kestrel.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || problem "the manual page has troff warnings: $warnings"
fi
# The units name the installed program; systemd-analyze checks them against this copy.
if command -v systemd-analyze >/dev/null; then
    units="$dest/units"
    mkdir -p "$units/user"
    for unit in kestrel.service kestrel@.service; do
        sed "s|/usr/bin/kestrel|$program|" "$dest/usr/lib/systemd/system/$unit" > "$units/$unit"
    done
    sed "s|/usr/bin/kestrel|$program|" "$dest/usr/lib/systemd/user/kestrel.service" > "$units/user/kestrel.service"
    systemd-analyze verify --man=no "$units/kestrel.service" "$units/kestrel@.service" >&2 ||
        problem "systemd-analyze rejected the system units"
    XDG_RUNTIME_DIR=$(mktemp -d -p "$dest") systemd-analyze verify --user --man=no "$units/user/kestrel.service" >&2 ||
        problem "systemd-analyze rejected the user unit"
    # The system units' exposure stays at most 2.0 (the threshold counts tenths).
    for unit in kestrel.service kestrel@.service; do
        score=$(systemd-analyze security --offline=true --threshold=20 "$units/$unit" 2>&1) ||
            problem "$unit is exposed more than 2.0: $(echo "$score" | tail -n 1)"
        echo "install-tree: $(echo "$score" | tail -n 1)"
    done
else
    echo "install-tree: systemd-analyze is not installed; skipped"
fi

[ "$fail" -eq 0 ] && echo "install-tree: all checks passed"
exit "$fail"
