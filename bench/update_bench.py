#!/usr/bin/env python3
"""Update run against a shell pipeline doing the same work.

  bench/update_bench.py [PANEL] [RUNS]

Generates a package of 20,000 files and 200 MB, serves it on loopback, and times, on the same
starting site each time, the panel's `update --url` against curl + bsdtar + both rsync runs. Also
times the snapshot step (cp -al of the site without Data) on its own, and reads the panel's peak
memory with /usr/bin/time. Prints a table. Targets: panel <= 1.15 x pipeline, peak < 150 MB.
"""
import http.server
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

FILES, SIZE = 20_000, 10_000  # 200 MB


def run(*args, **kwargs):
    subprocess.run(args, check=True, **kwargs)


def timed(*args, **kwargs):
    start = time.perf_counter()
    run(*args, **kwargs)
    return time.perf_counter() - start


def generate(work):
    www = os.path.join(work, "v2", "tavex-site", "www")
    for d in range(FILES // 100):
        folder = os.path.join(www, "app", f"m{d:03}")
        os.makedirs(folder)
        for f in range(100):
            with open(os.path.join(folder, f"f{f:03}.php"), "wb") as out:
                out.write(os.urandom(SIZE))
    os.makedirs(os.path.join(www, "include"))
    os.makedirs(os.path.join(www, "Data"))
    with open(os.path.join(www, "index.php"), "w") as out:
        out.write("<?php echo 'v2';")
    for f in range(50):
        with open(os.path.join(www, "Data", f"d{f}.txt"), "w") as out:
            out.write("package data")
    served = os.path.join(work, "served")
    os.makedirs(served)
    run("bsdtar", "-a", "-cf", os.path.join(served, "tavex-update.zip"), "-C",
        os.path.join(work, "v2"), "tavex-site")
    # The site before the update: the same tree with a tenth of the files changed, some extra
    # files, and its own Data.
    template = os.path.join(work, "template")
    run("cp", "-a", www, template)
    for d in range(0, FILES // 100, 10):
        folder = os.path.join(template, "app", f"m{d:03}")
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "wb") as out:
                out.write(os.urandom(SIZE))
        with open(os.path.join(folder, "old.php"), "w") as out:
            out.write("old")
    for f in range(0, 50, 2):
        with open(os.path.join(template, "Data", f"d{f}.txt"), "w") as out:
            out.write("user data")
    return served, template


def serve(folder):
    handler = lambda *a, **k: http.server.SimpleHTTPRequestHandler(*a, directory=folder, **k)
    http.server.SimpleHTTPRequestHandler.log_message = lambda *a: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def fresh_site(template, www):
    if os.path.exists(www):
        run("rm", "-rf", www)
    run("cp", "-a", template, www)
    run("sync")


def pipeline(url, base, template):
    # The same comparison as the panel's: every file is rewritten (-I), whatever its size and time.
    www = os.path.join(base, "www")
    fresh_site(template, www)
    package, extract = os.path.join(base, "pkg.zip"), os.path.join(base, "extract")
    src = os.path.join(extract, "tavex-site", "www")
    script = f"""set -e
curl -sS -o '{package}' '{url}'
rm -rf '{extract}'; mkdir '{extract}'
LC_ALL=C.UTF-8 bsdtar -xf '{package}' -C '{extract}'
rsync -a -I --delete --omit-dir-times --exclude=/Data --exclude=/data '{src}/' '{www}/'
rsync -a --ignore-existing '{src}/Data/' '{www}/Data/'
"""
    return timed("bash", "-c", script)


def panel_run(program, url, base, template, env):
    www = os.path.join(base, "Tavex-panel", "runtime", "www")
    os.makedirs(os.path.dirname(www), exist_ok=True)
    fresh_site(template, www)
    start = time.perf_counter()
    out = subprocess.run(["/usr/bin/time", "-f", "%M", program, "update", "--url", url],
                         env=env, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if out.returncode != 0:
        sys.exit("panel update failed:\n" + out.stdout + out.stderr)
    peak_kb = int(out.stderr.strip().splitlines()[-1])
    return elapsed, peak_kb / 1024


def snapshot_time(template, base):
    www, snap = os.path.join(base, "snapsite"), os.path.join(base, "snap")
    fresh_site(template, www)
    if os.path.exists(snap):
        run("rm", "-rf", snap)
    os.makedirs(snap)
    names = [os.path.join(www, n) for n in os.listdir(www) if n != "Data"]
    return timed("cp", "-a", "-l", "-t", snap, "--", *names)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    panel = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "tavex", "bin",
                                                              "tavex-panel")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    work = tempfile.mkdtemp(prefix="tavex-update-bench-")
    try:
        print(f"generating {FILES} files of {SIZE} bytes ...", file=sys.stderr)
        served, template = generate(work)
        url = f"http://127.0.0.1:{serve(served)}/tavex-update.zip"
        program = os.path.join(work, "panel", "app", "bin", "tavex-panel")
        os.makedirs(os.path.dirname(program))
        shutil.copy2(panel, program)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"))
        pipe_base = os.path.join(work, "pipe")
        os.makedirs(pipe_base)
        pipe, mine, peaks, snaps = [], [], [], []
        for i in range(runs):
            print(f"run {i + 1}/{runs} ...", file=sys.stderr)
            pipe.append(pipeline(url, pipe_base, template))
            elapsed, peak = panel_run(program, url, os.path.join(work, "panel"), template, env)
            mine.append(elapsed)
            peaks.append(peak)
            snaps.append(snapshot_time(template, work))
        size = os.path.getsize(os.path.join(served, "tavex-update.zip")) / 1e6
        p, m, s = statistics.median(pipe), statistics.median(mine), statistics.median(snaps)
        print(f"update of {FILES} files, package {size:.0f} MB, served on loopback; "
              f"median of {runs} runs")
        print(f"| {'measure':<38} | {'value':>10} | {'target':>10} |")
        print(f"|{'-' * 40}|{'-' * 12}|{'-' * 12}|")
        print(f"| {'pipeline (curl, bsdtar, 2 x rsync)':<38} | {p:>9.2f}s | {'':>10} |")
        print(f"| {'panel update, snapshot included':<38} | {m:>9.2f}s | {'':>10} |")
        print(f"| {'panel / pipeline':<38} | {m / p:>10.2f} | {'<= 1.15':>10} |")
        print(f"| {'snapshot (cp -al without Data)':<38} | {s:>9.2f}s | {'':>10} |")
        print(f"| {'snapshot share of the panel run':<38} | {100 * s / m:>9.1f}% | {'':>10} |")
        print(f"| {'panel peak memory (max RSS)':<38} | {max(peaks):>7.1f} MB | {'< 150 MB':>10} |")
    finally:
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
