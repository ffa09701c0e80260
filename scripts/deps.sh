#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are present.
set -euo pipefail
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev
      libcrypto++-dev libjsoncpp-dev libpcap-dev libcpp-httplib-dev libcli11-dev
      libproxy-dev libproxy1-plugin-webkit
      libssl-dev libnginx-mod-stream
      nginx-light libnginx-mod-rtmp ffmpeg x264 python3 tinyproxy chromium)
# The web page's browser test runs on Node (the machine has it; Debian's otherwise).
command -v npm >/dev/null 2>&1 || PKGS+=(nodejs npm)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The packaged nginx starts a system service on install; the tests run private instances only.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
# The browser test's driver (puppeteer-core, pinned by its lock file); it drives the Chromium above
# and never fetches a browser of its own. Reinstalled only when the lock is newer than the modules.
UI_TEST="$(dirname "$0")/../tests/integration/ui"
if [ -f "$UI_TEST/package-lock.json" ] && { [ ! -d "$UI_TEST/node_modules" ] || [ "$UI_TEST/package-lock.json" -nt "$UI_TEST/node_modules" ]; }; then
  echo "Installing the browser test's node modules"
  (cd "$UI_TEST" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error && touch node_modules)
fi
