#!/usr/bin/env bash
# Main job. The rtmpwriter host application is not built yet: this builds the libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2
echo "Libraries built. The rtmpwriter host is not part of this build yet."
