#!/usr/bin/env bash
# Installs what is missing, builds Kestrel and starts the camera site.
# On the first run it writes a starting settings file (test-pattern camera, port 8080),
# so a new user gets a live site at http://localhost:8080/ without being root.
# An existing settings file is never overwritten.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what building and running need; scripts/test.sh adds the test tools.
scripts/install-deps.sh --run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF
cmake --build build --target kestrel

config="${XDG_CONFIG_HOME:-$HOME/.config}/Velmora"
settings="$config/Kestrels.reg"
if [ ! -e "$settings" ]; then
  mkdir -p "$config"
  umask 077
  cat > "$settings" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Velmora\Kestrels]
"CaptureDevice"=dword:00000000
"uPort"=dword:00001f90
REG
  chmod 600 "$settings"
  echo "run: wrote a starting settings file: $settings (test-pattern camera, port 8080)"
fi

echo "run: starting Kestrel; the site is at http://localhost:8080/ (stop with Ctrl+C)"
exec build/kestrel
