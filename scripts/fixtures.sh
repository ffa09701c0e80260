#!/usr/bin/env bash
# Generates the media fixtures the parser tests and benchmarks read.
# usage: scripts/fixtures.sh OUTDIR
#
# Everything comes from synthetic sources (testsrc2, sine, aevalsrc) with bit-exact flags and a
# fixed thread count, so the same tools give the same bytes on every run. Files that already
# exist are kept: the directory lives in the build tree and acts as a cache. Each file is written
# under a temporary name and renamed, so an interrupted or concurrent run never leaves half a file.
#
# For every video fixture X.h264 (raw Annex B) the same encode is also written as X.nut through
# the tee muxer (the encoder's own pts/dts), remuxed from there to X.flv, and its packets are
# listed in X.packets.csv. For every audio fixture X.aac (ADTS) there are X.flv (ffmpeg's own
# remux, the byte oracle for the RTMP audio bodies) and X.packets.csv.
# packets.csv columns: pts_time,dts_time,duration_time,size,flags
#
# Field pictures: x264 cannot code a picture as two separate fields (PAFF). paff.h264 is made
# with fake-interlaced, which gives frame_mbs_only_flag 0 with mb_adaptive_frame_field_flag 0
# (the PAFF signalling) but codes every picture as a frame (field_pic_flag 0). A stream with real
# field pictures has to come from elsewhere.
set -euo pipefail
OUT=${1:?usage: fixtures.sh OUTDIR}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$OUT"
FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)
BITEXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

packets() {  # packets SRC DST
  ffprobe -v error -show_packets -show_entries packet=pts_time,dts_time,duration_time,size,flags \
    -of csv=p=0 "$1" > "$2.tmp"
  mv "$2.tmp" "$2"
}

# video NAME SIZE SECONDS RATE x264-params [extra ffmpeg options...]
video() {
  local name=$1 size=$2 secs=$3 rate=$4 params=$5
  shift 5
  local base="$OUT/$name"
  if [ ! -s "$base.h264" ] || [ ! -s "$base.nut" ]; then
    local tmp="$OUT/.tmp.$name.$$"
    "${FF[@]}" -f lavfi -i "testsrc2=size=$size:rate=$rate:duration=$secs" \
      -c:v libx264 -threads 1 -pix_fmt yuv420p -g 50 -x264-params "$params" "$@" \
      "${BITEXACT[@]}" -map 0:v -f tee "[f=h264]$tmp.h264|[f=nut]$tmp.nut"
    mv "$tmp.nut" "$base.nut"
    mv "$tmp.h264" "$base.h264"
  fi
  if [ ! -s "$base.flv" ]; then
    "${FF[@]}" -i "$base.nut" -c copy "${BITEXACT[@]}" -f flv "$base.flv.tmp"
    mv "$base.flv.tmp" "$base.flv"
  fi
  [ -s "$base.packets.csv" ] || packets "$base.nut" "$base.packets.csv"
}

# audio NAME SOURCE CHANNELS RATE SECONDS
audio() {
  local name=$1 src=$2 ch=$3 rate=$4 secs=$5
  local base="$OUT/$name"
  if [ ! -s "$base.aac" ]; then
    "${FF[@]}" -f lavfi -i "$src" -t "$secs" -c:a aac -b:a 128k -ac "$ch" -ar "$rate" \
      "${BITEXACT[@]}" -f adts "$base.aac.tmp"
    mv "$base.aac.tmp" "$base.aac"
  fi
  audio_oracles "$base"
}

audio_oracles() {
  local base=$1
  if [ ! -s "$base.flv" ]; then
    "${FF[@]}" -i "$base.aac" -c copy "${BITEXACT[@]}" -f flv "$base.flv.tmp"
    mv "$base.flv.tmp" "$base.flv"
  fi
  [ -s "$base.packets.csv" ] || packets "$base.aac" "$base.packets.csv"
}

video high_bnone 320x240 3 25 "bframes=3:b-pyramid=none" -profile:v high
video high_bpyr  320x240 3 25 "bframes=3:b-pyramid=normal" -profile:v high
video high720    1280x720 10 30 "bframes=3:b-pyramid=normal" -profile:v high -preset veryfast
video baseline   320x240 3 25 "bframes=0" -profile:v baseline
video paff       320x240 2 25 "bframes=2:fake-interlaced=1" -profile:v high
video mbaff      320x240 2 25 "bframes=2:interlaced=1:tff=1" -profile:v high
video slices4    320x240 2 25 "bframes=2:slices=4" -profile:v high
video cavlc      320x240 2 25 "bframes=2:cabac=0" -profile:v high
video crop1080   1920x1080 1 25 "bframes=2" -profile:v high -preset veryfast

audio aac48s "aevalsrc=0.4*sin(440*2*PI*t)|0.4*sin(660*2*PI*t):s=48000" 2 48000 3
audio aac44m "sine=frequency=440:sample_rate=44100" 1 44100 3
if [ ! -s "$OUT/aaccrc.aac" ]; then
  python3 "$HERE/adts_add_crc.py" "$OUT/aac44m.aac" "$OUT/aaccrc.aac.tmp"
  mv "$OUT/aaccrc.aac.tmp" "$OUT/aaccrc.aac"
fi
audio_oracles "$OUT/aaccrc"

# What encoders hand a publisher, each judged frame for frame end to end: x264's defaults (its
# own GOP length, B-pyramid, adaptive B pictures), no B pictures, open GOPs, intra refresh (one
# IDR picture, then refresh waves), 1080p60, a sequence parameter set without timing (x264
# always writes it; taken out afterwards), and a picture parameter set whose initial QP changes
# in mid-stream (two constant-QP encodes back to back).
video x264def  320x240 3 25 "keyint=250" -profile:v high
video nob      320x240 3 25 "bframes=0" -profile:v high
video opengop  320x240 3 25 "open-gop=1:keyint=25" -profile:v high
video irefresh 320x240 3 25 "intra-refresh=1:keyint=25" -profile:v high
video hd60     1920x1080 2 60 "bframes=3" -profile:v high -preset veryfast
video timed30  320x240 3 30 "bframes=3" -profile:v high
video qp20     320x240 1.5 25 "qp=20" -profile:v high
video qp34     320x240 1.5 25 "qp=34" -profile:v high
if [ ! -s "$OUT/untimed.h264" ]; then
  python3 "$HERE/strip_sps_timing.py" "$OUT/timed30.h264" "$OUT/untimed.h264.tmp"
  mv "$OUT/untimed.h264.tmp" "$OUT/untimed.h264"
fi
if [ ! -s "$OUT/ppschange.h264" ]; then
  cat "$OUT/qp20.h264" "$OUT/qp34.h264" > "$OUT/ppschange.h264.tmp"
  mv "$OUT/ppschange.h264.tmp" "$OUT/ppschange.h264"
fi
audio aac48s2 "aevalsrc=0.4*sin(440*2*PI*t)|0.4*sin(660*2*PI*t):s=48000" 2 48000 2

# 20 s of video and audio for the sink's real-time publishing tests.
video rt20 320x240 20 25 "bframes=2:b-pyramid=none" -profile:v main
audio aac20 "sine=frequency=440:sample_rate=48000" 2 48000 20
# About 3 Mbit/s of 720p without B-pyramid (every B picture is a non-reference one), for the
# throttled-link tests.
video thr10 1280x720 10 30 "bframes=3:b-pyramid=none" -profile:v high -preset veryfast
# 30 s of 720p at about 3 Mbit/s with x264's B-pyramid (reference B pictures), for the fault
# suite's reconnections, stalls and slow links; and 10 s whose second key frame (at 50) is a
# picture of about 1.8 MB (noise at QP 10, encoded on its own: x264's zones do not reach QP 10
# under rate control), bigger than the send buffer and nginx's default message limit.
video hd30 1280x720 30 30 "bframes=3:b-pyramid=normal:bitrate=3000:vbv-maxrate=3000:vbv-bufsize=3000" -profile:v high -preset veryfast
if [ ! -s "$OUT/bigkey.h264" ]; then
  part() {  # part N FRAMES x264-params [filters]
    "${FF[@]}" -f lavfi -i "testsrc2=size=1280x720:rate=30" -frames:v "$2" ${4:+-vf "$4"} -c:v libx264 -threads 1 \
      -pix_fmt yuv420p -g 50 -profile:v high -preset veryfast -x264-params "$3" "${BITEXACT[@]}" -f h264 "$OUT/.tmp.bigkey.$$.$1"
  }
  part 1 50 "bframes=3:b-pyramid=normal"
  part 2 1 "qp=10" "geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'"
  part 3 249 "bframes=3:b-pyramid=normal"
  cat "$OUT/.tmp.bigkey.$$."[123] > "$OUT/bigkey.h264.tmp"
  rm "$OUT/.tmp.bigkey.$$."[123]
  mv "$OUT/bigkey.h264.tmp" "$OUT/bigkey.h264"
fi
audio aac30 "sine=frequency=440:sample_rate=48000" 2 48000 30
audio aac10 "sine=frequency=440:sample_rate=48000" 2 48000 10
