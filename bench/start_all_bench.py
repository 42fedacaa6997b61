#!/usr/bin/env python3
"""Times start-all from the call until all three ports answer (MariaDB's greeting on 3306, an
HTTP answer on 8000 and 900), beside launch_stack.sh making the same launches. The stack is
stopped before each run; the runs alternate so both see the same machine.
   start_all_bench.py PANEL_PROGRAM ROOT [RUNS]"""
import socket
import statistics
import subprocess
import sys
import time


def greets(port, http):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
            if http:
                s.sendall(b"HEAD / HTTP/1.0\r\n\r\n")
            return len(s.recv(1)) == 1
    except OSError:
        return False


def wait_all(deadline=60.0):
    start = time.monotonic()
    pending = {3306: False, 8000: True, 900: True}
    while pending and time.monotonic() - start < deadline:
        pending = {p: h for p, h in pending.items() if not greets(p, h)}
        if pending:
            time.sleep(0.005)
    return not pending


def stop(panel):
    subprocess.run([panel, "stop-all"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def timed(command):
    start = time.monotonic()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_all():
        raise SystemExit("the stack did not come up: " + " ".join(command))
    return (time.monotonic() - start) * 1000.0


def main():
    panel, root = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    here = sys.argv[0].rsplit("/", 1)[0]
    panel_ms, script_ms = [], []
    for _ in range(runs):
        stop(panel)
        panel_ms.append(timed([panel, "start-all"]))
        stop(panel)
        script_ms.append(timed(["bash", here + "/launch_stack.sh", root]))
    stop(panel)
    pm, sm = statistics.median(panel_ms), statistics.median(script_ms)
    print(f"| start-all until 3306, 8000 and 900 answer ({runs} runs) | median ms | min ms | max ms |")
    print("|---|---|---|---|")
    print(f"| tavex-panel start-all | {pm:.0f} | {min(panel_ms):.0f} | {max(panel_ms):.0f} |")
    print(f"| shell script, same launches | {sm:.0f} | {min(script_ms):.0f} | {max(script_ms):.0f} |")
    print(f"| ratio (median) | {pm / sm:.2f} | | |")


main()
