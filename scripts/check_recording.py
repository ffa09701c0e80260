#!/usr/bin/env python3
"""Checks a server's recording against the elementary streams that were published.

    scripts/check_recording.py RECORDING [--video IN.h264] [--audio IN.aac] [--fps N] [--sei]

Exact checks, no tolerance that could hide a lost frame:
  - as many video and audio packets as the inputs hold;
  - video decode times strictly rising from 0, presentation times never before them, and the
    presentation step regular (1000/fps ms, to the millisecond the container rounds to);
  - audio starting within one audio frame of the first picture shown;
  - every decoded picture and audio frame identical to decoding the input (ffmpeg framemd5), and
    the same field order;
  - with --sei, the recording's SEI units those of the input, byte for byte and in order.
Prints one line a check and a last line "VERDICT: PASS" or "VERDICT: FAIL"; exits 0 or 1.
"""
import argparse
import json
import math
import re
import subprocess
import sys


def run(args):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=600).stdout


def packets(path, stream):
    out = run(["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
               "packet=dts_time,pts_time", "-of", "json", path])
    ms = lambda v: None if v in (None, "N/A") else round(float(v) * 1000)
    return [(ms(p.get("dts_time")), ms(p.get("pts_time"))) for p in json.loads(out).get("packets", [])]


def count(path, stream):
    out = run(["ffprobe", "-v", "error", "-select_streams", stream, "-count_packets", "-show_entries",
               "stream=nb_read_packets,r_frame_rate,sample_rate,field_order", "-of", "json", path])
    streams = json.loads(out).get("streams", [])
    return streams[0] if streams else {}


def hashes(path, stream):
    # The decoded frames' md5 only: the two files time them differently.
    out = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + stream, "-f", "framemd5", "-"])
    return [line.rsplit(",", 1)[1].strip() for line in out.splitlines() if line and not line.startswith("#")]


def sei_units(path):
    # The recording's units in Annex B form first: flv carries them length-prefixed.
    data = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy",
                           "-bsf:v", "h264_mp4toannexb", "-f", "h264", "-"],
                          check=True, capture_output=True, timeout=600).stdout
    starts = [m.end() for m in re.finditer(b"\x00\x00\x01", data)] + [len(data) + 3]
    units = (data[starts[i]:starts[i + 1] - 3].rstrip(b"\x00") for i in range(len(starts) - 1))
    return [u for u in units if u and u[0] & 0x1F == 6]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("recording")
    ap.add_argument("--video")
    ap.add_argument("--audio")
    ap.add_argument("--fps", type=float, help="frame rate when the input does not say")
    ap.add_argument("--sei", action="store_true", help="the SEI units must have been published")
    a = ap.parse_args()
    results = []

    def check(name, ok, detail):
        results.append(ok)
        print("%-5s %-34s %s" % ("ok" if ok else "FAIL", name, detail))

    first_shown = None
    if a.video:
        info = count(a.video, "v:0")
        want = int(info.get("nb_read_packets", 0))
        got = packets(a.recording, "v:0")
        check("video packets", len(got) == want, "%d recorded of %d" % (len(got), want))
        if got:
            dts = [d for d, _ in got]
            back = sum(1 for i in range(1, len(dts)) if dts[i] <= dts[i - 1])
            check("video decode times", dts[0] == 0 and back == 0,
                  "first %s ms, %d not rising" % (dts[0], back))
            early = sum(1 for d, p in got if p is None or p < d)
            check("video presentation after decode", early == 0, "%d before their decode time" % early)
            shown = sorted(p for _, p in got if p is not None)
            first_shown = shown[0]
            rate = a.fps
            if not rate:
                num, _, den = info.get("r_frame_rate", "25/1").partition("/")
                rate = float(num) / float(den or 1)
            step = 1000.0 / rate
            bad = sum(1 for i in range(1, len(shown))
                      if not math.floor(step) <= shown[i] - shown[i - 1] <= math.ceil(step))
            drift = abs((shown[-1] - shown[0]) - step * (len(shown) - 1))
            check("video presentation step", bad == 0 and drift <= 1,
                  "%.3f ms expected, %d steps off, %.1f ms drift at the end" % (step, bad, drift))
        same = hashes(a.recording, "v:0") == hashes(a.video, "v:0")
        check("video decoded frames", same, "identical" if same else "differ from the input's")
        order = count(a.recording, "v:0").get("field_order"), info.get("field_order")
        check("video field order", order[0] == order[1], "%s, the input's %s" % order)
        if a.sei:
            got, want = sei_units(a.recording), sei_units(a.video)
            check("video SEI units", got == want, "%d of the input's %d, %s" % (
                sum(1 for u in want if u in got), len(want), "identical" if got == want else "differ"))
    if a.audio:
        info = count(a.audio, "a:0")
        want = int(info.get("nb_read_packets", 0))
        got = packets(a.recording, "a:0")
        check("audio packets", len(got) == want, "%d recorded of %d" % (len(got), want))
        if got and first_shown is not None:
            frame = 1024 * 1000.0 / float(info.get("sample_rate", 48000))
            gap = got[0][0] - first_shown
            check("audio against video", abs(gap) <= frame, "first audio %+d ms from the first picture" % gap)
        same = hashes(a.recording, "a:0") == hashes(a.audio, "a:0")
        check("audio decoded frames", same, "identical" if same else "differ from the input's")
    ok = bool(results) and all(results)
    print("VERDICT: " + ("PASS" if ok else "FAIL"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
