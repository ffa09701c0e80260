#!/usr/bin/env bash
# CPU cost of TLS: 60 s of 720p at 3 Mbit/s (the hd30 fixture twice) published at the same time
# by rtmpwriter over rtmps, by rtmpwriter over plain rtmp and by ffmpeg over rtmps, into a
# private nginx-rtmp behind nginx's TLS front end. Prints each one's user+system CPU seconds and
# the ratios: TLS over plain (target <= 1.30) and ours over ffmpeg's (target < 1).
# Usage: bench/net/tls_cpu.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../../build}")
fx=$build/fixtures
writer=$build/apps/rtmpwriter
work=$(mktemp -d /tmp/qv-tlsbench.XXXXXX)
nginx_pid=""
cleanup() { [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rtmp=$(free_port); tls=$(free_port); http=$(free_port)

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 1 -subj /CN=bench-ca 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' > srv.ext
openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile srv.ext -out srv.pem 2>/dev/null

cat "$fx/hd30.h264" "$fx/hd30.h264" > v.h264
cat "$fx/aac30.aac" "$fx/aac30.aac" > a.aac
mkdir -p tmp
cat > nginx.conf <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1; $( [ "$(id -u)" = 0 ] && echo "user root;" )
pid $work/nginx.pid; error_log $work/error.log;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$rtmp; application live { live on; } } }
stream { server { listen 127.0.0.1:$tls ssl; ssl_certificate $work/srv.pem; ssl_certificate_key $work/srv.key;
                  proxy_pass 127.0.0.1:$rtmp; } }
http { access_log off; client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
       uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp; server { listen 127.0.0.1:$http; } }
EOF
nginx -c "$work/nginx.conf" -p "$work/" -e "$work/error.log" & nginx_pid=$!
for _ in $(seq 100); do python3 -c "import socket; socket.create_connection(('127.0.0.1',$tls),1)" 2>/dev/null && break; sleep 0.1; done

cpu() { local out=$1; shift; /usr/bin/time -f "%U %S" -o "$out" "$@" >/dev/null 2>"$out.err" || { echo "failed: $*"; cat "$out.err"; }; }
cpu tls.t "$writer" "rtmps://localhost:$tls/live/tls" --video v.h264 --audio a.aac --ca-file ca.pem & pids=($!)
cpu plain.t "$writer" "rtmp://127.0.0.1:$rtmp/live/plain" --video v.h264 --audio a.aac & pids+=($!)
cpu ffmpeg.t ffmpeg -nostdin -loglevel error -stream_loop 1 -re -i "$fx/hd30.nut" -stream_loop 1 -re -i "$fx/aac30.aac" \
    -map 0:v -map 1:a -c copy -f flv -tls_verify 1 -ca_file ca.pem "rtmps://localhost:$tls/live/ffmpeg" & pids+=($!)
wait "${pids[@]}"

sum() { awk '{printf "%.2f", $1 + $2}' "$1"; }
t=$(sum tls.t); p=$(sum plain.t); f=$(sum ffmpeg.t)
echo "CPU s (user+sys) for 60 s 720p 3 Mbit/s: rtmpwriter rtmps $t, rtmpwriter rtmp $p, ffmpeg rtmps $f"
awk -v t="$t" -v p="$p" -v f="$f" 'BEGIN {
    printf "TLS / plain: %.2f (target <= 1.30)\n", (p > 0 ? t / p : 0);
    printf "rtmpwriter rtmps / ffmpeg rtmps: %.2f (target < 1)\n", (f > 0 ? t / f : 0) }'
