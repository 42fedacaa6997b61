#!/usr/bin/env python3
"""Cold start to the first painted frame, and resident memory when idle, of the panel's window and
of a minimal Qt Widgets window, measured alternately in the same run on the same display.

usage: window_start_bench.py PANEL_PROGRAM MINIMAL_PROGRAM [RUNS [MINIMAL_CJK_PROGRAM]]

The optional third window is the minimal one showing Chinese text in the panel's fonts: the share of
the difference that showing the language costs by itself.
"""
import os
import statistics
import subprocess
import sys
import time


PHASES = ["main", "application", "look+translations", "widgets", "shown", "painted"]


def measure(program, phases=None):
    env = dict(os.environ, TAVEX_BENCH_T0_NS=str(time.monotonic_ns()))
    start = time.perf_counter()
    process = subprocess.Popen([program], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    frame_ms = None
    rss_kb = None
    font_kb = 0
    cpu_ms = None
    for line in process.stdout:
        if line.startswith("phase ") and phases is not None:
            _, name, ms = line.split()
            phases.setdefault(name, []).append(float(ms))
        elif line.startswith("cpu "):
            cpu_ms = float(line.split()[1])
        elif line.startswith("frame") and frame_ms is None:
            frame_ms = (time.perf_counter() - start) * 1000
        elif line.startswith("rss "):
            rss_kb, font_kb = (int(x) for x in (line.split() + ["0"])[1:3])
    process.wait(timeout=30)
    if frame_ms is None or rss_kb is None:
        sys.exit(f"{program} did not report its frame and memory")
    return frame_ms, rss_kb, cpu_ms, font_kb


def main():
    panel, minimal = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    cjk = sys.argv[4] if len(sys.argv) > 4 else None
    results = {"panel": [], "minimal": [], "cjk": []}
    phases = {"panel": {}, "minimal": {}, "cjk": {}}
    measure(panel)  # warm the disk cache for both, so neither pays for the first read alone
    measure(minimal)
    for _ in range(runs):
        results["minimal"].append(measure(minimal, phases["minimal"]))
        if cjk:
            results["cjk"].append(measure(cjk, phases["cjk"]))
        results["panel"].append(measure(panel, phases["panel"]))

    def row(name, samples):
        frames = [s[0] for s in samples]
        rss = [s[1] / 1024 for s in samples]
        cpu = [s[2] for s in samples]
        fonts = [s[3] / 1024 for s in samples]
        return (name, statistics.median(frames), min(frames), statistics.median(rss),
                statistics.median(cpu), statistics.median(fonts))

    rows = [row("minimal Qt Widgets window", results["minimal"]), row("TAVEX panel window", results["panel"])]
    if cjk:
        rows.insert(1, row("minimal, Chinese in its fonts", results["cjk"]))
    print(f"window start, {runs} runs each (median; cold start = process start to first painted frame)")
    # Font file pages: clean pages of the font files, shared through the page cache, counted in RSS.
    print(f"{'window':<30}{'first frame ms':>16}{'best ms':>10}{'cpu ms':>10}{'idle RSS MB':>14}"
          f"{'font files MB':>15}")
    for name, median_ms, best_ms, rss_mb, cpu_ms, font_mb in rows:
        print(f"{name:<30}{median_ms:>16.1f}{best_ms:>10.1f}{cpu_ms:>10.1f}{rss_mb:>14.1f}"
              f"{font_mb:>15.1f}")
    # Where the time goes: the median of each step, from the end of the step before.
    print()
    print(f"{'step (median ms)':<28}{'minimal':>10}{'panel':>10}{'extra':>10}")
    previous = {"panel": 0.0, "minimal": 0.0}
    for name in PHASES:
        cells = {}
        for which in ("minimal", "panel"):
            at = statistics.median(phases[which].get(name, [previous[which]]))
            cells[which] = at - previous[which]
            previous[which] = at
        label = "libraries, up to main()" if name == "main" else name
        print(f"{label:<28}{cells['minimal']:>10.1f}{cells['panel']:>10.1f}"
              f"{cells['panel'] - cells['minimal']:>10.1f}")
    print()
    ratio = rows[-1][1] / rows[0][1]
    extra = rows[-1][3] - rows[0][3]
    print(f"processor time to the first frame, panel / minimal: {rows[-1][4] / rows[0][4]:.2f}")
    print(f"panel / minimal start: {ratio:.2f} (target at most 1.50)   "
          f"extra memory: {extra:.1f} MB (target at most 20), "
          f"{extra - (rows[-1][5] - rows[0][5]):.1f} MB without font file pages")


if __name__ == "__main__":
    main()
