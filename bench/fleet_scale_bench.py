#!/usr/bin/env python3
"""How a fleet run scales to a thousand TCP devices.

For each image size (16 and 128 pages of model 8401) and each N (1, 64, 256,
512, 1000): one flashmere-devsim serves N + 1 devices alike, each on its own
TCP port, from one process (--tcp-ports, a thread per port); flashmere-cli
upgrades the last device alone, then the N others in one fleet run with
--jobs N, started with the soft open-file limit at 1024 (ulimit -Sn 1024).
Measured on the tool's process only: wall, CPU (user + system), peak RSS
(getrusage of the child), and the most descriptors and threads it held
(/proc, sampled every 20 ms).

    bench/fleet_scale_bench.py --bin build/default/bin [--sizes 1,64,256,512,1000]
                               [--pages 16,128] [--json FILE]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

from upgrade_bench import stop_process

MODEL = "8401"
LATENCY_MS = 2
REBOOT_MS = 3000
SOFT_FILES = 1024


def make_firmware(bin_dir, work, pages):
    body = bytes(((i * 13 + i // 256 + 1) & 0xFF) for i in range(256 * pages))
    body_path = os.path.join(work, f"body-{pages}.bin")
    with open(body_path, "wb") as f:
        f.write(body)
    out = os.path.join(work, f"fw{pages}.TVB")
    subprocess.run([os.path.join(bin_dir, "flashmere-cli"), "pack", "--model", MODEL,
                    "--name", "BENCH", "--version", "1.0", body_path, out],
                   check=True, stdout=subprocess.DEVNULL)
    return out


def start_sims(bin_dir, count):
    """One simulator process serving count devices; returns it and their endpoints."""
    cmd = [os.path.join(bin_dir, "flashmere-devsim"), "--tcp", "127.0.0.1:0", "--tcp-ports",
           str(count), "--model", MODEL, "--id", "0", "--latency-ms", str(LATENCY_MS),
           "--reboot-ms", str(REBOOT_MS)]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    endpoints = []
    for _ in range(count):
        line = proc.stdout.readline().strip()
        if not line.startswith("listening on "):
            stop_process(proc)
            raise RuntimeError(f"flashmere-devsim said {line!r}")
        endpoints.append(line[len("listening on "):])
    return proc, endpoints


class Sampler(threading.Thread):
    """The most descriptors and threads a process held, and how often its
    report was written anew (each write renames a new file over it), every
    20 ms."""

    def __init__(self, pid, report):
        super().__init__(daemon=True)
        self.pid, self.files, self.threads, self.done = pid, 0, 0, False
        self.report, self.inode, self.writes = report, None, 0

    def run(self):
        while not self.done:
            try:
                inode = os.stat(self.report).st_ino
                if inode != self.inode:
                    self.inode, self.writes = inode, self.writes + 1
            except FileNotFoundError:
                pass
            try:
                self.files = max(self.files, len(os.listdir(f"/proc/{self.pid}/fd")))
                with open(f"/proc/{self.pid}/status") as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            self.threads = max(self.threads, int(line.split()[1]))
            except (FileNotFoundError, ProcessLookupError, PermissionError):
                pass
            time.sleep(0.02)


def soft_limit():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(SOFT_FILES, hard), hard))


def fleet(bin_dir, work, endpoints, firmware, tag):
    manifest = os.path.join(work, f"{tag}.csv")
    with open(manifest, "w") as f:
        f.write("net,id,file\n")
        for endpoint in endpoints:
            f.write(f"{endpoint},0,{firmware}\n")
    env = dict(os.environ, FLASHMERE_SETTINGS_FILE=os.path.join(work, "settings.json"))
    report = os.path.join(work, f"{tag}-report.json")
    cmd = [os.path.join(bin_dir, "flashmere-cli"), "fleet", manifest, "--jobs",
           str(len(endpoints)), "--report", report]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            preexec_fn=soft_limit)
    sampler = Sampler(proc.pid, report)
    sampler.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    sampler.done = True
    sampler.join()
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    if proc.returncode != 0:
        raise RuntimeError(f"fleet {tag} ended with exit {proc.returncode} (see its report): "
                           f"{err[-2000:]}")
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "rss_mb": usage.ru_maxrss / 1024.0, "files": sampler.files,
            "threads": sampler.threads, "report_writes": sampler.writes}


def cpu_of(pid):
    """User + system seconds a process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def case(bin_dir, work, firmware, pages, count):
    sim, endpoints = start_sims(bin_dir, count + 1)
    try:
        load = os.getloadavg()[0]
        one = fleet(bin_dir, work, endpoints[count:], firmware, f"one-{pages}-{count}")
        sim_before = cpu_of(sim.pid)
        many = fleet(bin_dir, work, endpoints[:count], firmware, f"all-{pages}-{count}")
        many["sim_cpu_s"] = cpu_of(sim.pid) - sim_before
        load_end = os.getloadavg()[0]
    finally:
        stop_process(sim)
    per_device = ((many["rss_mb"] - one["rss_mb"]) * 1024 / (count - 1)) if count > 1 else 0
    return {"pages": pages, "devices": count, "one": one, "all": many,
            "ratio": many["wall_s"] / one["wall_s"], "rss_kb_per_device": per_device,
            "load": [load, load_end]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build/default/bin")
    parser.add_argument("--sizes", default="1,64,256,512,1000")
    parser.add_argument("--pages", default="16,128")
    parser.add_argument("--json")
    parser.add_argument("--keep", help="work in this folder and keep it")
    a = parser.parse_args()
    results = []
    print("| pages | devices | one device | all | wall / one | tool CPU | peak RSS | "
          "RSS per device | descriptors | threads | report writes | simulator CPU | load |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="fleet-scale-") as work:
        if a.keep:
            work = a.keep
            os.makedirs(work, exist_ok=True)
        for pages in [int(p) for p in a.pages.split(",")]:
            firmware = make_firmware(a.bin, work, pages)
            for count in [int(n) for n in a.sizes.split(",")]:
                r = case(a.bin, work, firmware, pages, count)
                results.append(r)
                print(f"| {pages} | {count} | {r['one']['wall_s']:.2f} s | "
                      f"{r['all']['wall_s']:.2f} s | {r['ratio']:.3f} | "
                      f"{r['all']['cpu_s']:.2f} s | {r['all']['rss_mb']:.1f} MB | "
                      f"{r['rss_kb_per_device']:.0f} kB | {r['all']['files']} | "
                      f"{r['all']['threads']} | {r['all']['report_writes']} | "
                      f"{r['all']['sim_cpu_s']:.2f} s | "
                      f"{r['load'][0]:.1f}-{r['load'][1]:.1f} |",
                      flush=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
