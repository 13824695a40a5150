#!/usr/bin/python3
"""Runs the benchmark's programs under wine, interleaved, and prints medians.

Called by bench/run.sh, which prepares the prefix ($WINEPREFIX), the medium and
the programs. The programs, their children and the wine server are pinned to
one CPU and this script, which samples their memory, to another; the wine
server is kept running between runs so that no run pays for starting it.
"""
import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "release"))
from nerim_release.names import MARKERS  # noqa: E402

LOADER = "/usr/lib/wine/wine64"
PROGRAMS = ["setup", "floor", "peer"]
CPU = 1
SAMPLER_CPU = 0


def pin_to_cpu():
    os.sched_setaffinity(0, {CPU})


def wine_environment(record_log=None):
    env = dict(os.environ, WINELOADER=LOADER, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=;msiexec.exe=n,b")
    env.pop("RECORD_LOG", None)
    if record_log:
        env["RECORD_LOG"] = record_log
    return env


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def status_fields(pid):
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "RssAnon"):
                    fields[key] = int(value.split()[0])
    except OSError:
        pass
    return fields


def run_once(medium, program):
    """Wall time in ms, peak resident and peak private (anonymous) memory in KiB."""
    start = time.perf_counter()
    child = subprocess.Popen([LOADER, windows_path(os.path.join(medium, program + ".exe"))],
                             env=wine_environment(), preexec_fn=pin_to_cpu)
    peak = private = 0
    while child.poll() is None:
        fields = status_fields(child.pid)
        peak = max(peak, fields.get("VmHWM", 0))
        private = max(private, fields.get("RssAnon", 0))
        time.sleep(0.0005)
    return (time.perf_counter() - start) * 1000, peak, private


def show_children(medium, log):
    """One run of each program with the recorder logging, to show they do the same work."""
    for program in PROGRAMS:
        if os.path.exists(log):
            os.remove(log)
        subprocess.run([LOADER, windows_path(os.path.join(medium, program + ".exe"))],
                       env=wine_environment(windows_path(log)), check=False)
        lines = open(log).read().splitlines() if os.path.exists(log) else []
        print("  %-5s %d children: %s" % (program, len(lines),
              "; ".join(line.split("|")[2].replace(medium.replace("/", "\\"), "M")
                        for line in lines)))


def set_markers(folder, present):
    os.makedirs(folder, exist_ok=True)
    for name in MARKERS:
        path = os.path.join(folder, name)
        if present:
            open(path, "w").close()
        elif os.path.exists(path):
            os.remove(path)


def measure(medium, rounds):
    samples = {program: [] for program in PROGRAMS}
    for round_number in range(rounds + 1):
        for program in PROGRAMS:
            result = run_once(medium, program)
            if round_number > 0:  # round 0 is the warm-up
                samples[program].append(result)
    return {program: [statistics.median(values) for values in zip(*runs)]
            for program, runs in samples.items()}


def print_table(title, medians):
    floor, peer = medians["floor"], medians["peer"]
    print("\n%s" % title)
    print("| program | wall ms | vs floor | vs peer | peak RSS MiB | vs floor | private MiB | vs floor |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for program in PROGRAMS:
        wall, peak, private = medians[program]
        print("| %s | %.0f | %.2fx | %.2fx | %.1f | %.2fx | %.1f | %.2fx |" % (
            program, wall, wall / floor[0], wall / peer[0], peak / 1024, peak / floor[1],
            private / 1024, private / floor[2]))


def print_sizes(programs):
    print("\n| program | 32-bit bytes | 64-bit bytes |")
    print("| --- | ---: | ---: |")
    for program in PROGRAMS:
        sizes = [os.path.getsize(os.path.join(programs, "%s-%s.exe" % (program, arch)))
                 for arch in ("i686", "x86_64")]
        print("| %s | %d | %d |" % (program, sizes[0], sizes[1]))


def print_machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "unknown CPU")
    wine = subprocess.run([LOADER, "--version"], capture_output=True, text=True).stdout.strip()
    print("%s, %s, %d cores (runs pinned to CPU %d, sampler on CPU %d), %s, %s" % (
        datetime.date.today().isoformat(), model, os.cpu_count(), CPU, SAMPLER_CPU,
        platform.platform(), wine))


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--medium", required=True)
    parser.add_argument("--programs", required=True)
    parser.add_argument("--markers", required=True)
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be 1 or more")

    os.sched_setaffinity(0, {SAMPLER_CPU})
    subprocess.run(["wineserver", "-k"], env=wine_environment(), check=False)
    subprocess.run(["wineserver", "-p"], env=wine_environment(), check=True, preexec_fn=pin_to_cpu)
    print_machine()
    log = os.path.join(os.path.dirname(args.medium), "children.txt")
    for title, markers in (("(a) no marker", False),
                           ("(b) typical run, 3,000 installed programs, no match", True)):
        set_markers(args.markers, markers)
        print("\n%s: what each program started" % title)
        show_children(args.medium, log)
        print_table("%s, medians of %d rounds" % (title, args.rounds),
                    measure(args.medium, args.rounds))
    set_markers(args.markers, False)
    print_sizes(args.programs)


if __name__ == "__main__":
    main()
