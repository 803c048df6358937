#!/usr/bin/env python3
"""Live cost of the engine against the ffmpeg tool on the same screen.

Starts a private Xvfb (1920x1080x24; the server picks a free display with -displayfd), and for
"moving" content shows ffplay -fs of testsrc2 at 30 fps on it ("still": nothing runs, the screen
stands still). Then alternates, round by round (--pairs rounds), our host (live_cost_host: the engine recording the
screen at 30 fps, 1080 lines, 6 Mbit/s, sound muted) and the ffmpeg tool recording the same screen
with x11grab into libx264 at the same rate, for RUN seconds each. Read from /proc/<pid>:

- CPU-seconds per second: utime + stime (children included) between 3 s and 18 s of the run;
- peak resident memory (VmHWM) and minor page faults at the end of the run;
- frames encoded per second: ours from the clip saved at the end (frames over the time they
  span), the tool's from its -progress frame counter between 3 s and 18 s;
- the load average at the start of each run.

A "long" scenario runs each side once for 60 s of moving content and reports the peak RSS.
"floor" runs the tool's libx264 alone on a still NV12 picture in real time (no grab, no
conversion): the part of the still-screen cost that encoding the re-submitted frames sets.

Usage: live_cost.py [--build DIR] [--pairs N] [--run SECONDS] [--scenarios moving,still,floor,long]
                    [--host PROGRAM] [--engine LIBRARY] [--sides ours,tool]
                    [--baseline-engine LIBRARY [--baseline-host PROGRAM]]
"""

import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
WINDOW = (3.0, 18.0)  # seconds of the run between which the CPU is measured


def proc_stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is field 3 (state); minflt is field 10, utime 14, stime 15, cutime 16, cstime 17
    minflt = int(fields[7])
    cpu = sum(int(fields[i]) for i in (11, 12, 13, 14)) / CLK_TCK
    return cpu, minflt


def vm_hwm_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def start_xvfb():
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    deadline = time.time() + 20
    while time.time() < deadline:
        r, _, _ = select.select([read_fd], [], [], 0.5)
        if r:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
            if number.endswith(b"\n"):
                break
    os.close(read_fd)
    if not number.strip():
        xvfb.kill()
        raise SystemExit("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


def start_ffplay(display):
    env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="dummy")
    player = subprocess.Popen(
        ["ffplay", "-hide_banner", "-loglevel", "error", "-fs", "-an", "-f", "lavfi",
         "-i", "testsrc2=size=1920x1080:rate=30"],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2.0)  # window mapped and playing
    if player.poll() is not None:
        raise SystemExit("ffplay did not start")
    return player


def stop_player(player):
    # ffplay turns SIGTERM into a quit event of its window, which it does not always get to.
    player.send_signal(signal.SIGTERM)
    try:
        player.wait(timeout=5)
    except subprocess.TimeoutExpired:
        player.kill()
        player.wait()


class Sampler:
    """Samples a process at fixed times of its run."""

    def __init__(self, pid, started):
        self.pid = pid
        self.started = started

    def at(self, seconds):
        delay = self.started + seconds - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        cpu, minflt = proc_stat(self.pid)
        return time.monotonic() - self.started, cpu, minflt


def run_ours(host, engine, display, run_seconds, folder):
    env = dict(os.environ, DISPLAY=display)
    extra = ["--engine", engine] if engine else []
    proc = subprocess.Popen([host, "--folder", folder, "--fps", "30", "--max-height", "1080"] +
                            extra,
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    if not line.startswith("capturing"):
        proc.kill()
        raise SystemExit("live_cost_host did not start: " + line)
    s = Sampler(proc.pid, time.monotonic())
    t0, cpu0, _ = s.at(WINDOW[0])
    t1, cpu1, _ = s.at(WINDOW[1])
    _, _, minflt = s.at(run_seconds)
    hwm = vm_hwm_mb(proc.pid)
    out, _ = proc.communicate("save\n", timeout=120)
    values = {}
    for l in out.splitlines():
        if ":" in l:
            k, v = l.split(":", 1)
            values[k.strip()] = v.strip()
    frames = int(values.get("clip frames", "0"))
    span = float(values.get("clip seconds", "0") or 0)
    return {"cpu": (cpu1 - cpu0) / (t1 - t0), "rss": hwm, "minflt": minflt,
            "fps": frames / span if span > 0 else 0.0}


def run_tool(display, run_seconds, folder, encoder_only=False):
    output = os.path.join(folder, "live_cost_tool.mp4")
    if encoder_only:
        # libx264 alone on a still NV12 picture in real time: the encoding that a still screen
        # costs whoever records it, without grabbing or converting.
        source = ["-re", "-f", "lavfi", "-i", "color=c=black:s=1920x1080:r=30,format=nv12"]
    else:
        source = ["-f", "x11grab", "-framerate", "30", "-video_size", "1920x1080",
                  "-i", display + ".0"]
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostats", "-progress", "pipe:1",
           "-stats_period", "0.25"] + source + [
           "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
           "-b:v", "6M", "-maxrate", "12M", "-bufsize", "24M", "-g", "60", "-threads", "4",
           "-pix_fmt", "nv12", "-y", output]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, bufsize=1)
    started = time.monotonic()
    frames = []  # (time of the run, frame counter)

    def read_progress(until):
        while True:
            left = started + until - time.monotonic()
            if left <= 0:
                return
            r, _, _ = select.select([proc.stdout], [], [], left)
            if not r:
                return
            l = proc.stdout.readline()
            if not l:
                return
            if l.startswith("frame="):
                frames.append((time.monotonic() - started, int(l.split("=")[1])))

    s = Sampler(proc.pid, started)
    read_progress(WINDOW[0])
    t0, cpu0, _ = s.at(WINDOW[0])
    f0 = frames[-1] if frames else (0.0, 0)
    read_progress(WINDOW[1])
    t1, cpu1, _ = s.at(WINDOW[1])
    f1 = frames[-1] if frames else (0.0, 0)
    read_progress(run_seconds)
    _, _, minflt = s.at(run_seconds)
    hwm = vm_hwm_mb(proc.pid)
    try:
        proc.communicate("q", timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    if os.path.exists(output):
        os.remove(output)
    fps = (f1[1] - f0[1]) / (f1[0] - f0[0]) if f1[0] > f0[0] else 0.0
    return {"cpu": (cpu1 - cpu0) / (t1 - t0), "rss": hwm, "minflt": minflt, "fps": fps}


def describe(name, runs):
    def col(key, fmt):
        values = [r[key] for r in runs]
        return (fmt.format(statistics.median(values)) + " (" + fmt.format(min(values)) + "-" +
                fmt.format(max(values)) + ")")
    return (f"{name:5s} cpu-s/s {col('cpu', '{:.3f}')}  peak RSS MB {col('rss', '{:.1f}')}  "
            f"minflt {col('minflt', '{:.0f}')}  fps {col('fps', '{:.1f}')}  "
            f"load {col('load', '{:.1f}')}")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build", "release"))
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--run", type=float, default=21.0)
    parser.add_argument("--scenarios", default="moving,still,floor,long")
    parser.add_argument("--engine", default="", help="engine library (default: the build's)")
    parser.add_argument("--host", default="", help="host program (default: the build's)")
    parser.add_argument("--sides", default="ours,tool", help="ours,tool (both) or one of them")
    parser.add_argument("--baseline-engine", default="",
                        help="an older engine library, run as a third side ('base') every round")
    parser.add_argument("--baseline-host", default="", help="the host for the baseline engine")
    args = parser.parse_args()
    host = args.host or os.path.join(args.build, "bench", "live_cost", "live_cost_host")
    for tool in ("Xvfb", "ffmpeg", "ffplay"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing: scripts/install-deps.sh installs it")
    if not os.access(host, os.X_OK):
        raise SystemExit(f"{host} is missing: cmake --build --preset release "
                         "--target live_cost_host")

    folder = tempfile.mkdtemp(prefix="tm_live_cost_", dir="/dev/shm")
    xvfb, display = start_xvfb()
    print(f"display {display}, {os.cpu_count()} cores", flush=True)
    player = None
    try:
        for scenario in args.scenarios.split(","):
            if scenario in ("moving", "long") and player is None:
                player = start_ffplay(display)
            if scenario == "still" and player is not None:
                stop_player(player)
                player = None
                time.sleep(1.0)
            if scenario == "floor":
                r = run_tool(display, args.run, folder, encoder_only=True)
                print(f"floor (libx264 alone on a still 1080p NV12 picture, 30 fps): cpu-s/s "
                      f"{r['cpu']:.3f}  fps {r['fps']:.1f}  load {load_average():.1f}", flush=True)
                continue
            pairs = 1 if scenario == "long" else args.pairs
            seconds = 60.0 if scenario == "long" else args.run
            # Every round runs each side once, the order rotating from round to round.
            sides = [x for x in ("ours", "tool") if x in args.sides.split(",")]
            if args.baseline_engine:
                sides.insert(1, "base")
            results = {x: [] for x in sides}
            for i in range(pairs):
                k = i % len(sides)
                for side in sides[k:] + sides[:k]:
                    load = load_average()
                    if side == "tool":
                        r = run_tool(display, seconds, folder)
                    elif side == "base":
                        r = run_ours(args.baseline_host or host, args.baseline_engine, display,
                                     seconds, folder)
                    else:
                        r = run_ours(host, args.engine, display, seconds, folder)
                    r["load"] = load
                    results[side].append(r)
                    print(f"  {scenario} round {i + 1} {side}: cpu-s/s {r['cpu']:.3f}  "
                          f"peak RSS {r['rss']:.1f} MB  minflt {r['minflt']}  "
                          f"fps {r['fps']:.1f}  load {load:.1f}", flush=True)
            print(f"{scenario}:")
            for side in sides:
                print("  " + describe(side, results[side]))
            for side in (x for x in ("ours", "base") if x in results):
                ratios = [o["cpu"] / t["cpu"]
                          for o, t in zip(results[side], results.get("tool", [])) if t["cpu"] > 0]
                if ratios:
                    print(f"  cpu ratio {side}/tool per round: " +
                          ", ".join(f"{x:.2f}" for x in ratios) +
                          f"  (median {statistics.median(ratios):.2f})", flush=True)
    finally:
        if player is not None:
            stop_player(player)
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
