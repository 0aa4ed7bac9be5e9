#!/usr/bin/env python3
"""make bench: every figure next to a baseline measured in the same run, so that what it says
is a ratio and holds on another machine.

- the driver's data path on a device that answers at once (bench_datapath): CPU time per frame
  against a memcpy of the same bytes;
- whole sessions (ecmemu run, deterministic) at one frame size: frames per second each way,
  and the CPU time per frame against the same memcpy;
- the TAP bridge (ecmemu bridge, through tests/system/bridge-test.sh): iperf3 TCP each way
  against a veth pair;
- instructions per frame under callgrind, by part of the code, against a memcpy's.

    bench/run.py --build build-release [--quick]

--quick runs each for a moment and checks that every figure is there and sane. The exit
status is 1 when a figure is missing or not sane, or a run failed.
"""
import argparse
import json
import math
import os
import re
import resource
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import callgrind_profile  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES = (60, 512, 1514)
SESSION_SIZES = (60, 1514)
DIRECTIONS = ("transmit", "receive", "round_trip")
# What the emulator is to reach each way on a two-core machine, optimized.
SESSION_TARGETS = {60: "500,000 frames/s", 1514: "5 Gbit/s"}


class Bench:
    def __init__(self, build, quick):
        self.bin = os.path.join(build, "bin")
        self.quick = quick
        self.problems = []

    def check(self, holds, what):
        if not holds:
            self.problems.append(what)
        return holds

    def sane(self, value, what):
        return self.check(isinstance(value, (int, float)) and math.isfinite(value) and value > 0,
                          "%s: %r is not a positive figure" % (what, value))

    def data_path(self):
        """{(name, size): CPU ns per frame}, memcpy among the names: the median of repetitions
        interleaved at random, so that a spell of load falls on figures and baselines alike."""
        spread = [] if self.quick else ["--benchmark_repetitions=7", "--benchmark_enable_random_interleaving=true",
                                        "--benchmark_report_aggregates_only=true"]
        run = subprocess.run([os.path.join(self.bin, "bench_datapath"), "--benchmark_format=json",
                              "--benchmark_min_time=%s" % (0.01 if self.quick else 0.2)] + spread,
                             capture_output=True, text=True)
        self.check(run.returncode == 0, "bench_datapath exited with %d: %s" % (run.returncode, run.stderr[-400:]))
        times = {}
        for b in json.loads(run.stdout or '{"benchmarks": []}')["benchmarks"]:
            if b.get("error_occurred"):
                self.check(False, "%s: %s" % (b["name"], b.get("error_message")))
                continue
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            parts = b["run_name"].split("/")
            times[(parts[-2] if parts[0] == "Driver" else "memcpy", int(parts[-1]))] = b["cpu_time"]
        for name in ("memcpy",) + DIRECTIONS:
            for size in SIZES:
                self.sane(times.get((name, size)), "%s at %d bytes" % (name, size))
        return times

    def session(self, size):
        """ecmemu's report of one deterministic session, and the session's CPU seconds."""
        frames = 2000 if self.quick else 200000
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        run = subprocess.run([os.path.join(self.bin, "ecmemu"), "run", "--json", "--frame-size", str(size),
                              "--frames", str(frames)], capture_output=True, text=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        report = json.loads(run.stdout) if run.stdout.startswith("{") else {}
        self.check(run.returncode == 0 and report.get("ok"),
                   "ecmemu run --frame-size %d failed: %s" % (size, report.get("failed_checks", run.stderr[-400:])))
        return report, cpu

    def bridge(self):
        """{(path, direction): Mbit/s} for path bridge and veth."""
        seconds = "1" if self.quick else "5"
        rates = {}
        run = subprocess.run([os.path.join(SOURCE, "tests/system/bridge-test.sh"), os.path.join(self.bin, "ecmemu")],
                             capture_output=True, text=True, env=dict(os.environ, IPERF_SECONDS=seconds))
        found = re.search(r"== throughput .*?(\d+) Mbit/s, .*?(\d+) Mbit/s", run.stdout)
        if self.check(run.returncode == 0 and found, "the bridge test failed: " + run.stdout[-600:]):
            rates[("bridge", "forward")], rates[("bridge", "reverse")] = int(found[1]), int(found[2])
        run = subprocess.run([os.path.join(SOURCE, "bench/veth-iperf3.sh"), seconds], capture_output=True, text=True)
        if self.check(run.returncode == 0, "iperf3 over veth failed: " + run.stderr[-400:]):
            for line in run.stdout.split("\n"):
                if line:
                    direction, rate = line.split()
                    rates[("veth", direction)] = int(rate)
        for key in (("bridge", "forward"), ("bridge", "reverse"), ("veth", "forward"), ("veth", "reverse")):
            self.sane(rates.get(key), "%s %s" % key)
        return rates

    def instructions(self, what, size, frames):
        """{part: instructions per frame} of 'frames' frames under callgrind."""
        with tempfile.TemporaryDirectory() as work:
            profile = os.path.join(work, "callgrind.out")
            run = subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                                  "--callgrind-out-file=" + profile, os.path.join(self.bin, "bench_instructions"),
                                  what, str(size), str(frames)], capture_output=True, text=True)
            if not self.check(run.returncode == 0, "bench_instructions %s %d failed: %s" % (what, size, run.stderr[-600:])):
                return {}
            try:
                parts = callgrind_profile.instructions_by_part(profile, SOURCE)
            except ValueError as error:
                self.check(False, str(error))
                return {}
        return {part: count / frames for part, count in parts.items()}


def ratio(figure, baseline):
    return figure / baseline if figure and baseline else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="the optimized build tree (build-release)")
    parser.add_argument("--quick", action="store_true", help="a moment of each, and the checks")
    args = parser.parse_args()
    bench = Bench(os.path.abspath(args.build), args.quick)
    for program in ("ecmemu", "bench_datapath", "bench_instructions"):
        if not os.access(os.path.join(bench.bin, program), os.X_OK):
            sys.exit("bench: %s/%s is not built (make bench-programs)" % (bench.bin, program))
    print("machine: %d processors, load average %.1f %.1f %.1f (wall-clock figures move with the load; "
          "CPU times less, instruction counts not at all)" % ((os.cpu_count(),) + os.getloadavg()))

    times = bench.data_path()
    print("\n== the driver's data path, device answering at once: CPU time per frame against memcpy of the same bytes")
    print("%-11s %6s %12s %12s %10s" % ("", "bytes", "driver ns", "memcpy ns", "ratio"))
    for name in DIRECTIONS:
        for size in SIZES:
            driver, copy = times.get((name, size)), times.get(("memcpy", size))
            bench.check(not driver or not copy or driver > copy, "%s at %d bytes is faster than memcpy" % (name, size))
            print("%-11s %6d %12.0f %12.1f %10.0f" % (name, size, driver or 0, copy or 0, ratio(driver, copy)))

    print("\n== ecmemu run, deterministic, every frame one size: frames each way (round trips) per second")
    print("%6s %14s %10s %16s %14s %10s  %s" % ("bytes", "frames/s", "Gbit/s", "CPU ns/frame", "memcpy ns", "ratio",
                                                "target"))
    for size in SESSION_SIZES:
        report, cpu = bench.session(size)
        verified = report.get("frames", {}).get("verified", 0)
        per_second = report.get("round_trips_per_second", 0)
        bench.sane(per_second, "session at %d bytes" % size)
        bench.check(verified >= report.get("frames", {}).get("sent", 1) * 0.9,
                    "session at %d bytes: only %d frames came back" % (size, verified))
        cpu_ns = cpu * 1e9 / verified if verified else 0
        copy = times.get(("memcpy", size))
        print("%6d %14.0f %10.2f %16.0f %14.1f %10.0f  %s" % (size, per_second, per_second * size * 8 / 1e9, cpu_ns,
                                                             copy or 0, ratio(cpu_ns, copy), SESSION_TARGETS[size]))
    print("(frames/s is ecmemu's own wall-clock figure over its streaming; CPU ns/frame is the whole process, "
          "bring-up and the session's other steps included, per frame)")

    rates = bench.bridge()
    print("\n== ecmemu bridge between two namespaces against a veth pair: iperf3 TCP, Mbit/s")
    print("%-8s %10s %10s %10s" % ("", "bridge", "veth", "ratio"))
    for direction in ("forward", "reverse"):
        bridge, veth = rates.get(("bridge", direction)), rates.get(("veth", direction))
        print("%-8s %10d %10d %10.3f" % (direction, bridge or 0, veth or 0, ratio(bridge, veth)))

    frames = 200 if args.quick else 2000
    cases = [("round_trip", 60)] if args.quick else [(name, size) for name in DIRECTIONS for size in SIZES]
    print("\n== instructions per frame (callgrind, %d frames each), by the code's part" % frames)
    print("%-11s %6s %10s %10s %10s %10s %10s %8s" % ("", "bytes", "driver", "emulator", "libraries", "harness",
                                                      "memcpy", "ratio"))
    copies = {}
    for name, size in cases:
        if size not in copies:
            copies[size] = sum(bench.instructions("memcpy", size, frames).values())
            bench.sane(copies[size], "memcpy instructions at %d bytes" % size)
        parts = bench.instructions(name, size, frames)
        driver = parts.get("driver")
        bench.sane(driver, "driver instructions for %s at %d bytes" % (name, size))
        print("%-11s %6d %10.0f %10.0f %10.0f %10.0f %10.0f %8.1f" % (
            name, size, driver or 0, parts.get("emulator", 0), parts.get("libraries", 0), parts.get("harness", 0),
            copies[size], ratio(driver, copies[size])))
    # The counts are the frames' own: twice the frames, the same count per frame.
    name, size = cases[0]
    again = bench.instructions(name, size, frames * 2).get("driver")
    first = bench.instructions(name, size, frames).get("driver")
    bench.check(first and again and abs(again - first) <= 0.01 * first,
                "driver instructions per frame differ with the frame count: %r for %d frames, %r for %d" % (
                    first, frames, again, frames * 2))
    print("(driver: %s/, and platform/ helpers compiled into it; emulator: emu/; harness: bench/ and tools/; "
          "libraries: the C and C++ libraries and templates instantiated from their headers)" %
          "/, ".join(callgrind_profile.DRIVER))

    if bench.problems:
        print("\nFAILED:\n  - " + "\n  - ".join(bench.problems))
        return 1
    print("\nOK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
