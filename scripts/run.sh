#!/usr/bin/env bash
# Main job: builds rtmpwriter and publishes with it.
#
#   ./scripts/run.sh                      the demonstration: a private nginx-rtmp on loopback, a
#                                         20 s test pattern (H.264 + AAC) made with ffmpeg,
#                                         published in real time with --stats, then the server's
#                                         recording checked with ffprobe and a short verdict
#   ./scripts/run.sh URL --video F --audio F [options]
#                                         publishes your own streams (any rtmpwriter options)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target rtmpwriter >/dev/null
BIN=${RTMPWRITER:-$ROOT/build/apps/rtmpwriter}

if [ $# -gt 0 ]; then
  exec "$BIN" --stats "$@"
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/rtmpwriter-demo.XXXXXX")
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill -QUIT "$NGINX_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A private nginx-rtmp: its own directory, a free loopback port, recording every stream.
PORT=$(free_port)
mkdir -p "$WORK/rec" "$WORK/tmp"
USER_LINE=""; [ "$(id -u)" -eq 0 ] && USER_LINE="user root;"
cat > "$WORK/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
worker_processes 1;
$USER_LINE
pid $WORK/nginx.pid;
error_log $WORK/error.log info;
events { worker_connections 64; }
rtmp {
  server {
    listen 127.0.0.1:$PORT;
    application live {
      live on;
      record all;
      record_path $WORK/rec;
      record_unique off;
      record_suffix .flv;
    }
  }
}
CONF
nginx -c "$WORK/nginx.conf" -p "$WORK/" -e "$WORK/error.log" 2>"$WORK/nginx.stderr" &
NGINX_PID=$!
for _ in $(seq 100); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then break; fi
  kill -0 "$NGINX_PID" 2>/dev/null || { echo "nginx did not start:"; cat "$WORK/nginx.stderr" "$WORK/error.log"; exit 1; }
  sleep 0.1
done

echo "Generating a 20 s test pattern (320x240 25 fps H.264 with B-pyramid, 48 kHz stereo AAC)..."
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=320x240:rate=25:duration=20" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=20" \
  -map 0:v -c:v libx264 -pix_fmt yuv420p -g 50 -x264-params "bframes=3:b-pyramid=normal" -f h264 "$WORK/demo.h264" \
  -map 1:a -c:a aac -b:a 128k -ac 2 -f adts "$WORK/demo.aac"

URL="rtmp://127.0.0.1:$PORT/live/demo"
echo "Publishing to $URL"
START=$(date +%s.%N)
set +e
"$BIN" --stats "$URL" --video "$WORK/demo.h264" --audio "$WORK/demo.aac"
STATUS=$?
set -e
END=$(date +%s.%N)
echo "rtmpwriter exited with $STATUS after $(python3 -c "print(f'{$END - $START:.1f}')") s"

REC="$WORK/rec/demo.flv"
# nginx finishes the recording when the publisher leaves.
for _ in $(seq 50); do [ -s "$REC" ] && break; sleep 0.1; done
if [ ! -s "$REC" ]; then echo "VERDICT: FAIL - the server recorded nothing"; exit 1; fi
echo "Recording checked against what was published:"
DUR=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$REC")
set +e
python3 "$ROOT/scripts/check_recording.py" "$REC" --video "$WORK/demo.h264" --audio "$WORK/demo.aac" | sed 's/^/  /'
CHECK=${PIPESTATUS[0]}
set -e
echo "  exit status $STATUS, recording of ${DUR} s (20 s sent)"
if [ "$STATUS" -eq 0 ] && [ "$CHECK" -eq 0 ] && python3 -c "import sys; sys.exit(abs(float('$DUR') - 20) >= 0.5)"; then
  echo "VERDICT: PASS - the test pattern was published in real time and recorded frame for frame"
else
  echo "VERDICT: FAIL - the recording does not match what was sent"
  exit 1
fi
