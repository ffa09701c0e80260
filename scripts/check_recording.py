#!/usr/bin/env python3
"""Checks a server's recording against the elementary streams that were published.

    scripts/check_recording.py RECORDING [--video IN.h264] [--audio IN.aac] [--fps N] [--sei]
    scripts/check_recording.py --segments REC... --video IN.h264 [--audio IN.aac] [--lost S]
                               [--max-gap-video MS] [--max-gap-audio MS]

Exact checks, no tolerance that could hide a lost frame:
  - as many video and audio packets as the inputs hold;
  - video decode times strictly rising from 0, presentation times never before them, and the
    presentation step regular (1000/fps ms, to the millisecond the container rounds to);
  - audio starting within one audio frame of the first picture shown;
  - every decoded picture and audio frame identical to decoding the input (ffmpeg framemd5), and
    the same field order;
  - with --sei, the recording's SEI units those of the input, byte for byte and in order.
With --segments the recordings are the files of one publication that was interrupted, one a
connection, in order. Each must decode without a single decoder message, start with a key frame
at its first time, have audio start within one audio frame of that picture (from its decode
to its presentation time), and no step between
packets longer than two frame durations (or the --max-gap given); together they may miss at most
--lost seconds' worth of each input's frames, and hold no more than the input.
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


def decoder_messages(path):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                       capture_output=True, text=True, timeout=600)
    return [line for line in r.stderr.splitlines() if line.strip()]


def check_segments(a, check):
    def probe(path, stream):
        r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                            "packet=dts_time,pts_time,flags", "-of", "json", path],
                           capture_output=True, text=True, timeout=600)
        out = r.stdout if r.returncode == 0 else "{}"  # an empty file: a publication that recorded nothing
        return [(round(float(p["dts_time"]) * 1000), "K" in p.get("flags", ""),
                 round(float(p.get("pts_time", p["dts_time"])) * 1000))
                for p in json.loads(out).get("packets", []) if p.get("dts_time") not in (None, "N/A")]
    vinfo = count(a.video, "v:0")
    num, _, den = vinfo.get("r_frame_rate", "25/1").partition("/")
    frame_v = 1000.0 * float(den or 1) / float(num)
    ainfo = count(a.audio, "a:0") if a.audio else {}
    frame_a = 1024 * 1000.0 / float(ainfo.get("sample_rate", 48000))
    gap_v, gap_a = a.max_gap_video or 2 * frame_v, a.max_gap_audio or 2 * frame_a
    totals = [0, 0]
    for k, path in enumerate(a.recording):
        errors = decoder_messages(path)
        check("segment %d decodes" % k, not errors, "%d decoder messages %s" % (len(errors), errors[:2]))
        tracks = [probe(path, "v:0")] + ([probe(path, "a:0")] if a.audio else [])
        for t, got in enumerate(tracks):
            totals[t] += len(got)
            step = max((got[i][0] - got[i - 1][0] for i in range(1, len(got))), default=0)
            check("segment %d %s steps" % (k, "audio" if t else "video"), step <= (gap_a if t else gap_v) + 1,
                  "%d packets, longest step %d ms" % (len(got), step))
        v = tracks[0]
        check("segment %d starts at a key frame" % k, bool(v) and v[0][1] and v[0][0] < 100,
              "first picture at %s ms, %s" % (v[0][0], "key" if v[0][1] else "not key") if v else "no picture")
        if a.audio and v:
            offset = tracks[1][0][0] - v[0][0] if tracks[1] else None
            shown = v[0][2] - v[0][0]  # the key frame's reordering delay
            check("segment %d audio against video" % k, offset is not None and -frame_a - 1 <= offset <= shown + frame_a + 1,
                  "first audio %s ms from the key frame's decode time (%s from its presentation)" %
                  (offset, tracks[1][0][0] - v[0][2] if tracks[1] else None))
    for t, (info, frame) in enumerate([(vinfo, frame_v)] + ([(ainfo, frame_a)] if a.audio else [])):
        want, got = int(info.get("nb_read_packets", 0)), totals[t]
        allowed = math.ceil(a.lost * 1000.0 / frame)
        check("%s frames" % ("audio" if t else "video"), want - allowed <= got <= want,
              "%d recorded of %d, %d missing, %d allowed" % (got, want, want - got, allowed))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("recording", nargs="+")
    ap.add_argument("--segments", action="store_true", help="the recordings are the segments of one publication")
    ap.add_argument("--lost", type=float, default=0.0, help="seconds of each input the segments may miss")
    ap.add_argument("--max-gap-video", type=float, help="longest step in ms (two frame durations)")
    ap.add_argument("--max-gap-audio", type=float, help="longest step in ms (two frame durations)")
    ap.add_argument("--video")
    ap.add_argument("--audio")
    ap.add_argument("--fps", type=float, help="frame rate when the input does not say")
    ap.add_argument("--sei", action="store_true", help="the SEI units must have been published")
    a = ap.parse_args()
    results = []

    def check(name, ok, detail):
        results.append(ok)
        print("%-5s %-34s %s" % ("ok" if ok else "FAIL", name, detail))

    if a.segments:
        check_segments(a, check)
    elif len(a.recording) != 1:
        ap.error("one recording, or --segments")
    else:
        a.recording = a.recording[0]
    first_shown = None
    if a.video and not a.segments:
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
    if a.audio and not a.segments:
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
