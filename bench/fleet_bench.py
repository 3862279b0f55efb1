#!/usr/bin/env python3
"""Fleet and scan benchmarks of flashmere-cli against flashmere-devsim processes.

1. 32 devices, each its own simulator on TCP, 16-page images: one device's
   fleet run, then all 32 with --jobs 32; wall ratio, the tool's CPU time and
   peak memory (/usr/bin/time).
2. 8 devices on one simulated bus (a pseudo-terminal): each device alone, then
   all 8 in one fleet run; wall against the sum of the single runs.
3. A scan of 100 IDs on that bus at --timeout-ms 100.

Prints a Markdown summary (see docs/PERFORMANCE.md) and writes the figures as
JSON with --json.

    bench/fleet_bench.py --bin build/default/bin [--devices 32] [--bus 8] [--json FILE]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from upgrade_bench import start_devsim, stop_process

MODEL = "8401"
PAGES = 16
REBOOT_MS = 3000
LATENCY_MS = 2
BUS_LINE = "115200,n,8,1"  # the bus's pace; the tool opens the pty with the same mode


class DevSim:
    def __init__(self, bin_dir, args):
        cmd = [os.path.join(bin_dir, "flashmere-devsim"), "--latency-ms", str(LATENCY_MS),
               "--reboot-ms", str(REBOOT_MS)] + args
        self.proc, self.endpoint = start_devsim(cmd)

    def stop(self):
        stop_process(self.proc)


def make_firmware(bin_dir, work):
    body = bytes(((i * 13 + i // 256 + 1) & 0xFF) for i in range(256 * PAGES))
    body_path = os.path.join(work, "body.bin")
    with open(body_path, "wb") as f:
        f.write(body)
    out = os.path.join(work, "fw.TVB")
    subprocess.run([os.path.join(bin_dir, "flashmere-cli"), "pack", "--model", MODEL,
                    "--name", "BENCH", "--version", "1.0", body_path, out],
                   check=True, stdout=subprocess.DEVNULL)
    return out


def write_manifest(path, rows):
    with open(path, "w") as f:
        f.write("name,net,com,mode,id,file\n")
        for name, net, com, device_id in rows:
            mode = f'"{BUS_LINE}"' if com else ""
            f.write(f"{name},{net},{com},{mode},{device_id},fw.TVB\n")


def timed(bin_dir, work, args, tag):
    """flashmere-cli under /usr/bin/time: (wall s, exit code, user+sys s, peak RSS MB)."""
    time_file = os.path.join(work, f"time-{tag}.txt")
    env = dict(os.environ, FLASHMERE_SETTINGS_FILE=os.path.join(work, "settings.json"))
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", time_file,
                           os.path.join(bin_dir, "flashmere-cli")] + args,
                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          timeout=900)
    wall = time.monotonic() - start
    with open(time_file) as f:
        _, user, system, rss_kb = f.read().split()[-4:]
    return wall, done.returncode, float(user) + float(system), int(rss_kb) / 1024.0


def fleet(bin_dir, work, rows, tag, jobs):
    manifest = os.path.join(work, f"{tag}.csv")
    write_manifest(manifest, rows)
    wall, code, cpu, rss = timed(bin_dir, work, ["fleet", manifest, "--jobs", str(jobs),
                                                 "--report", os.path.join(work, f"{tag}-report.json")],
                                 tag)
    if code != 0:
        raise RuntimeError(f"fleet {tag} ended with exit {code}")
    return {"wall_s": wall, "cpu_s": cpu, "rss_mb": rss}


def tcp_fleet(bin_dir, work, count):
    # One simulator more than devices: the single run gets its own, so no
    # device of the fleet run is still in the reboot the single run started.
    sims = [DevSim(bin_dir, ["--tcp", "127.0.0.1:0", "--model", MODEL, "--id", "0"])
            for _ in range(count + 1)]
    try:
        rows = [(f"tcp{i}", s.endpoint, "", 0) for i, s in enumerate(sims)]
        one = fleet(bin_dir, work, rows[count:], "tcp-one", 1)
        many = fleet(bin_dir, work, rows[:count], f"tcp-{count}", count)
    finally:
        for s in sims:
            s.stop()
    return {"devices": count, "one": one, "all": many, "ratio": many["wall_s"] / one["wall_s"]}


def bus_fleet_and_scan(bin_dir, work, count):
    ids = [str(10 * (i + 1)) for i in range(count)]
    args = ["--pty", "--model", MODEL, "--line", BUS_LINE]
    for device_id in ids:
        args += ["--id", device_id]
    bus = DevSim(bin_dir, args)
    try:
        rows = [(f"bus{d}", "", bus.endpoint, d) for d in ids]
        singles = [fleet(bin_dir, work, [row], f"bus-one-{row[3]}", 1) for row in rows]
        together = fleet(bin_dir, work, rows, f"bus-{count}", 8)
        scan = timed(bin_dir, work, ["scan", "--com", bus.endpoint, "--mode", BUS_LINE, "--ids",
                                     "0-99", "--timeout-ms", "100"], "scan")
    finally:
        bus.stop()
    total = sum(s["wall_s"] for s in singles)
    return ({"devices": count, "singles_s": [s["wall_s"] for s in singles], "sum_s": total,
             "all": together, "ratio": together["wall_s"] / total},
            {"ids": 100, "found": count, "timeout_ms": 100, "wall_s": scan[0], "cpu_s": scan[2],
             "rss_mb": scan[3], "exit": scan[1]})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build/default/bin")
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--bus", type=int, default=8)
    parser.add_argument("--json")
    a = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="fleet-bench-") as work:
        make_firmware(a.bin, work)
        tcp = tcp_fleet(a.bin, work, a.devices)
        bus, scan = bus_fleet_and_scan(a.bin, work, a.bus)
    result = {"load_average": os.getloadavg()[0], "tcp": tcp, "bus": bus, "scan": scan}
    print(f"| {tcp['devices']} devices on TCP, --jobs {tcp['devices']} | one device "
          f"{tcp['one']['wall_s']:.2f} s, all {tcp['all']['wall_s']:.2f} s, ratio "
          f"{tcp['ratio']:.3f} (goal <= 1.3) | tool CPU {tcp['all']['cpu_s']:.2f} s, "
          f"peak RSS {tcp['all']['rss_mb']:.1f} MB (one device: {tcp['one']['cpu_s']:.2f} s, "
          f"{tcp['one']['rss_mb']:.1f} MB) |")
    print(f"| {bus['devices']} devices on one bus | sum of single runs {bus['sum_s']:.2f} s, "
          f"fleet {bus['all']['wall_s']:.2f} s, ratio {bus['ratio']:.3f} (goal <= 1.05) | "
          f"tool CPU {bus['all']['cpu_s']:.2f} s, peak RSS {bus['all']['rss_mb']:.1f} MB |")
    print(f"| scan of 100 IDs on the bus, --timeout-ms 100 | {scan['wall_s']:.2f} s, "
          f"exit {scan['exit']} | tool CPU {scan['cpu_s']:.2f} s, peak RSS "
          f"{scan['rss_mb']:.1f} MB |")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
