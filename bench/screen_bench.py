#!/usr/bin/env python3
"""Screen update benchmark, run by hand:  bench/screen_bench.py BUILD_DIR [--quick]

Measures, in one run, against the simulated board (orvup-sim):
  (a) a 6 MiB image through a board throttled to 46080 bytes/s (460800 baud
      RS485): orvup's time against a raw copy of the same bytes through the
      same throttled board, as a ratio (goal <= 1.02);
  (b) the same unthrottled: orvup's throughput in MB/s (goal >= 1.5);
  (c) orvup's CPU time as a share of its wall time over the whole throttled
      update, final wait included (goal <= 2 %);
  (d) orvup's peak RSS (goal <= image size + 4 MiB).
--quick uses a 1 MiB image for the throttled runs (about 45 s instead of 5 min).
"""
import os
import resource
import subprocess
import sys
import tempfile
import termios
import time
import tty

IMAGE_SIZE = 6291456
RATE = 46080


def start_board(sim, rate):
    args = [sim, "--once", "--quiet"]
    if rate:
        args += ["--rate", str(rate)]
    board = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    port = board.stdout.readline().strip()
    return board, port


def vm_hwm(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def children_usage():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime, u.ru_maxrss


def run_orvup(orvup, sim, image, rate):
    board, port = start_board(sim, rate)
    cpu_before, _ = children_usage()
    start = time.monotonic()
    # orvup is waited for on its own so its CPU time is not mixed with the
    # board's. Its peak RSS is read from /proc while it runs: the rusage
    # figure would count this Python process, which it was forked from.
    proc = subprocess.Popen([orvup, "--screen-fw", image, "--port", port, "--no-status"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        peak = max(peak, vm_hwm(proc.pid))
        time.sleep(0.05)
    wall = time.monotonic() - start
    board.wait()
    assert os.waitstatus_to_exitcode(status) == 0, "the update failed"
    del cpu_before
    return wall, usage.ru_utime + usage.ru_stime, peak


def read_line(fd, deadline):
    line = b""
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        try:
            c = os.read(fd, 1)
        except BlockingIOError:
            time.sleep(0.002)
            continue
        line += c
    return line.strip()


def raw_copy(sim, data, rate):
    """The same bytes through the same board with nothing but the protocol."""
    board, port = start_board(sim, rate)
    start = time.monotonic()
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.write(fd, b"FWUP %d\n" % len(data))
    assert read_line(fd, time.monotonic() + 5) == b"START"
    view = memoryview(data)
    while view:
        n = os.write(fd, view[:4096])
        view = view[n:]
    assert read_line(fd, time.monotonic() + 30) == b"DONE"
    wall = time.monotonic() - start
    os.close(fd)
    board.wait()
    return wall


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    quick = "--quick" in sys.argv
    orvup = os.path.join(build, "orvup")
    sim = os.path.join(build, "tests", "orvup-sim")
    throttled_size = 1048576 if quick else IMAGE_SIZE
    with tempfile.TemporaryDirectory() as tmp:
        # Valid application images, which orvup checks and sends as they are.
        image = os.path.join(tmp, "screen.bin")
        small = os.path.join(tmp, "screen-throttled.bin")
        for path, size in ((image, IMAGE_SIZE), (small, throttled_size)):
            subprocess.run([sim, "--make-image", f"{size}:{path}"], check=True)
        with open(small, "rb") as f:
            throttled = f.read()

        raw = raw_copy(sim, throttled, RATE)
        wall, cpu, rss = run_orvup(orvup, sim, small, RATE)
        print(f"(a) throttled {throttled_size} bytes at {RATE} B/s: orvup {wall:.2f} s, raw copy {raw:.2f} s, "
              f"ratio {wall / raw:.4f} (goal <= 1.02)")
        print(f"(c) CPU {cpu:.3f} s over {wall:.2f} s wall = {100 * cpu / wall:.2f} % (goal <= 2 %)")

        fast_wall, fast_cpu, fast_rss = run_orvup(orvup, sim, image, 0)
        print(f"(b) unthrottled {IMAGE_SIZE} bytes: {fast_wall:.2f} s whole run, "
              f"{IMAGE_SIZE / fast_wall / 1e6:.2f} MB/s including the 200 ms settle (goal >= 1.5 MB/s)")
        peak = max(rss, fast_rss)
        print(f"(d) peak RSS {peak / 1048576:.1f} MiB for a {IMAGE_SIZE / 1048576:.0f} MiB image "
              f"(goal <= {(IMAGE_SIZE + 4 * 1048576) / 1048576:.0f} MiB)")


if __name__ == "__main__":
    main()
