#!/usr/bin/env python3
"""Whole-upgrade benchmarks of flashmere-cli and the window against flashmere-devsim.

For every model and link: wall time of the tool's process, its CPU time and
peak memory (/usr/bin/time), the moment identification ended, the devsim
transcript (requests, replies, bytes, the simulator's own reply time), and the
protocol floor from upgrade-floor (the identical run on a virtual clock).
Prints a Markdown table of medians and writes every run to a JSON file.
Called by run-benchmarks.sh; see docs/PERFORMANCE.md.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MODELS = {
    # model: (page size, pages) -- 128 pages each
    "8401": (256, 128),
    "8400": (128, 128),
    "8201": (256, 128),
    "8801": (256, 128),
}

LINKS = {
    # name: (devsim transport, line pacing, the tool's serial mode). A pseudo-terminal has
    # no speed and drops parity (the tool would note "refused the parity"), so the tool
    # opens it as 115200,n,8,1 and the simulator alone paces the bytes like the line.
    "pty-19200": ("pty", "19200,e,8,1", "115200,n,8,1"),
    "pty-115200": ("pty", "115200,n,8,1", "115200,n,8,1"),
    "tcp": ("tcp", None, None),
}

LATENCY_MS = 2
NICE = []  # e.g. ["nice", "-n", "-10"]: run the tool and the simulator at that niceness
REBOOT_MS = 3000
DEVICE_ID = 0  # the window starts with ID 0 and has no option for it


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def make_firmware(bin_dir, work, model):
    page, pages = MODELS[model]
    size = page * pages
    body = bytes(((i * 13 + i // 256 + 1) & 0xFF) for i in range(size))
    body_path = os.path.join(work, f"body-{model}.bin")
    with open(body_path, "wb") as f:
        f.write(body)
    out = os.path.join(work, f"fw-{model}.TVB")
    subprocess.run([os.path.join(bin_dir, "flashmere-cli"), "pack", "--model", model,
                    "--name", "BENCH", "--version", "1.0", body_path, out],
                   check=True, stdout=subprocess.DEVNULL)
    return out


def floor_of(bin_dir, fw, link):
    kind, line, _ = LINKS[link]
    cmd = [os.path.join(bin_dir, "upgrade-floor"), fw, "--json", "--id", str(DEVICE_ID),
           "--latency-ms", str(LATENCY_MS), "--reboot-ms", str(REBOOT_MS)]
    if kind == "tcp":
        cmd.append("--net")
    if line:
        cmd += ["--line", line]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def start_devsim(cmd):
    """Starts flashmere-devsim; returns the process and the endpoint its first line names."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = proc.stdout.readline().strip()
    for prefix in ("serial ", "listening on "):
        if first.startswith(prefix):
            return proc, first[len(prefix):]
    stop_process(proc)
    raise RuntimeError(f"flashmere-devsim said {first!r}")


def stop_process(proc):
    """SIGTERM, then SIGKILL after 10 s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class DevSim:
    def __init__(self, bin_dir, work, model, link, tag):
        kind, line, _ = LINKS[link]
        self.log = os.path.join(work, f"devsim-{tag}.jsonl")
        cmd = [os.path.join(bin_dir, "flashmere-devsim"), "--model", model,
               "--id", str(DEVICE_ID), "--latency-ms", str(LATENCY_MS),
               "--reboot-ms", str(REBOOT_MS), "--log", self.log]
        cmd += ["--pty"] if kind == "pty" else ["--tcp", "127.0.0.1:0"]
        if line:
            cmd += ["--line", line]
        self.proc, self.endpoint = start_devsim(NICE + cmd)

    def stop(self):
        stop_process(self.proc)

    def transcript(self):
        requests = replies = req_bytes = rep_bytes = send_only = 0
        anomalies = []  # no-reply, noise and the like: each costs a silence wait or a retry
        reply_time = 0
        last_request_t = None
        with open(self.log) as f:
            for line in f:
                e = json.loads(line)
                if e["event"] == "request":
                    if e.get("kind") in ("binary", "text"):
                        requests += 1
                        req_bytes += e.get("bytes", 0)
                        last_request_t = e["t"]
                    else:
                        send_only += 1
                elif e["event"] in ("no-reply", "noise", "disconnect"):
                    anomalies.append(f"{e['event']}@{e['t']}:{e.get('command', '')}"
                                     f"{e.get('text', '')[:12]}:{e.get('note', '')}")
                elif e["event"] == "reply":
                    replies += 1
                    rep_bytes += e.get("bytes", 0)
                    if last_request_t is not None:
                        reply_time += e["t"] - last_request_t
                        last_request_t = None
        return {"requests": requests, "replies": replies, "request_bytes": req_bytes,
                "reply_bytes": rep_bytes, "send_only_frames": send_only,
                "sim_reply_ms": reply_time, "anomalies": anomalies}


def timed_process(cmd, env, time_file, timeout_s, prefix=()):
    """Runs cmd under /usr/bin/time (itself under prefix, e.g. xvfb-run, so that only cmd is
    measured); returns (wall ms, exit code, [(ms, stdout line)], time)."""
    full = list(prefix) + NICE + ["/usr/bin/time", "-f", "%e %U %S %M", "-o", time_file] + cmd
    lines = []
    start = time.monotonic()
    proc = subprocess.Popen(full, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            text=True)
    err_chunks = []
    reader = threading.Thread(target=lambda: err_chunks.append(proc.stderr.read()), daemon=True)
    reader.start()
    deadline = start + timeout_s
    for line in proc.stdout:
        lines.append(((time.monotonic() - start) * 1000.0, line.rstrip("\n")))
        if time.monotonic() > deadline:
            proc.kill()
            break
    code = proc.wait()
    wall = (time.monotonic() - start) * 1000.0
    reader.join(timeout=5)
    with open(time_file) as f:
        fields = f.read().split()[-4:]
    elapsed, user, system, rss_kb = float(fields[0]), float(fields[1]), float(fields[2]), int(
        fields[3])
    return wall, code, lines, {"user_s": user, "sys_s": system, "rss_kb": rss_kb,
                               "elapsed_s": elapsed, "stderr": "".join(err_chunks)[-2000:]}


def run_cli(bin_dir, work, fw, model, link, tag):
    kind, _, mode = LINKS[link]
    sim = DevSim(bin_dir, work, model, link, tag)
    try:
        env = dict(os.environ)
        env["FLASHMERE_SETTINGS_FILE"] = os.path.join(work, f"settings-{tag}.json")
        cmd = [os.path.join(bin_dir, "flashmere-cli"), "upgrade", fw, "--id", str(DEVICE_ID),
               "--json"]
        if kind == "tcp":
            cmd += ["--net", sim.endpoint]
        else:
            cmd += ["--com", sim.endpoint, "--mode", mode]
        load_before = load_average()
        wall, code, lines, t = timed_process(cmd, env, os.path.join(work, f"time-{tag}.txt"),
                                             900)
        load_after = load_average()
    finally:
        sim.stop()
    identified = None
    counters = {}
    for at, line in lines:
        try:
            e = json.loads(line)
        except ValueError:
            continue
        if e.get("event") == "counter":
            counters[e["counter"]] = max(counters.get(e["counter"], 0), e["value"])
        if e.get("event") == "message" and e.get("row") == 14 and identified is None:
            identified = at  # "Connect device ok."
    return {"front": "cli", "model": model, "link": link, "exit": code, "wall_ms": wall,
            "identify_ms": identified, "error_counters": counters, "load_before": load_before, "load_after": load_after,
            **t, **sim.transcript()}


def run_window(bin_dir, work, fw, model, link, tag, use_xvfb, ticks=True):
    """ticks=False keeps the 10 ms timer off: the run's CPU time is then the window's alone."""
    kind, _, _ = LINKS[link]
    if kind != "tcp":
        raise ValueError("the window benchmark uses the TCP link (--net)")
    sim = DevSim(bin_dir, work, model, link, tag)
    liveness = os.path.join(work, f"liveness-{tag}.json")
    try:
        env = dict(os.environ)
        runtime = os.path.join(work, "xdg-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env["XDG_RUNTIME_DIR"] = runtime
        if not ticks:
            env["FLASHMERE_LIVENESS_TICKS"] = "0"
        cmd = [os.path.join(bin_dir, "flashmere"), "--net", sim.endpoint, "--file", fw,
               "--settings", os.path.join(work, f"window-settings-{tag}.json"), "--no-note",
               "--auto-upgrade", "--measure-liveness", liveness]
        prefix = ()
        if use_xvfb:
            prefix = ("xvfb-run", "-a", "-s", "-screen 0 1024x768x24")
            env["QT_QPA_PLATFORM"] = "xcb"
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        load_before = load_average()
        wall, code, _, t = timed_process(cmd, env, os.path.join(work, f"time-{tag}.txt"), 900,
                                         prefix)
        load_after = load_average()
    finally:
        sim.stop()
    probe = {}
    if os.path.exists(liveness):
        with open(liveness) as f:
            probe = json.load(f)
    # The process's wall time includes starting and closing the window (and Xvfb); the run
    # itself is timed inside the window from the press of Upgrade to its end.
    return {"front": "window" if ticks else "window, no probe", "model": model, "link": link,
            "exit": code,
            "process_wall_ms": wall, "wall_ms": probe.get("run_ms", wall),
            "load_before": load_before, "load_after": load_after, "xvfb": use_xvfb,
            "liveness": probe, **t, **sim.transcript()}


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, digits=0):
    if v is None:
        return "-"
    return f"{v:.{digits}f}"


def report(runs, floors):
    out = []
    out.append("| front | model | link | runs | wall s (median) | floor s | wall/floor "
               "(median) | min-max ratio | CPU % of wall | peak RSS MB | identify ms "
               "(floor) | requests real/floor | sim reply ms | load |")
    out.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    keys = []
    for r in runs:
        k = (r["front"], r["model"], r["link"])
        if k not in keys:
            keys.append(k)
    for k in keys:
        rs = [r for r in runs if (r["front"], r["model"], r["link"]) == k]
        fl = floors[(k[1], k[2])]
        ratios = [r["wall_ms"] / fl["floor_ms"] for r in rs]
        # CPU of the whole process over the whole process's wall time.
        cpu = [100.0 * (r["user_s"] + r["sys_s"]) / (r.get("process_wall_ms", r["wall_ms"]) / 1000.0)
               for r in rs]
        ok = all(r["exit"] == 0 for r in rs)
        ident = median([r.get("identify_ms") for r in rs])
        loads = [r["load_before"] for r in rs] + [r["load_after"] for r in rs]
        out.append(
            f"| {k[0]} | {k[1]} | {k[2]} | {len(rs)}{'' if ok else ' (FAILED)'} | "
            f"{fmt(median([r['wall_ms'] for r in rs]) / 1000.0, 2)} | "
            f"{fmt(fl['floor_ms'] / 1000.0, 2)} | {fmt(median(ratios), 4)} | "
            f"{fmt(min(ratios), 4)}-{fmt(max(ratios), 4)} | {fmt(median(cpu), 2)} | "
            f"{fmt(max(r['rss_kb'] for r in rs) / 1024.0, 1)} | "
            f"{fmt(ident)} ({fl['identify_ms']}) | "
            f"{rs[0]['requests']}/{fl['requests']} | {fmt(median([r['sim_reply_ms'] for r in rs]))}"
            f" | {fmt(min(loads), 2)}-{fmt(max(loads), 2)} |")
    lv = [r for r in runs if r["front"].startswith("window")]
    if lv:
        out.append("")
        out.append("| window run | model | probe | largest gap of the 10 ms timer, ms | gap ended ms "
                   "after the press | ticks | run ms | CPU ms during the run | CPU % of the run |")
        out.append("|---|---|---|---|---|---|---|---|---|")
        for i, r in enumerate(lv):
            p = r.get("liveness", {})
            cpu = p.get("run_cpu_ms")
            share = fmt(100.0 * cpu / p["run_ms"], 2) if cpu is not None and p.get("run_ms") else "-"
            probe = "no" if r["front"].endswith("no probe") else "yes"
            out.append(f"| {i + 1} | {r['model']} | {probe} | {p.get('max_gap_ms', '-')} | "
                       f"{p.get('max_gap_end_ms', '-')} | {p.get('ticks', '-')} | "
                       f"{p.get('run_ms', '-')} | {cpu if cpu is not None else '-'} | {share} |")
    out.append("")
    out.append("| model | link | floor ms | pauses ms | waiting ms | wire ms | latency ms | "
               "additive ms | requests | request bytes | reply bytes |")
    out.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for (model, link), fl in floors.items():
        out.append(f"| {model} | {link} | {fl['floor_ms']} | {fl['pauses_ms']} | "
                   f"{fl['waiting_ms']} | {fl['wire_ms']:.0f} | {fl['latency_ms']} | "
                   f"{fl['additive_ms']:.0f} | {fl['requests']} | {fl['request_bytes']} | "
                   f"{fl['reply_bytes']} |")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", required=True, help="folder with flashmere-cli, flashmere-devsim, "
                    "flashmere and upgrade-floor")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--models", default=",".join(MODELS))
    ap.add_argument("--links", default=",".join(LINKS))
    ap.add_argument("--window-models", default="8401,8801",
                    help="models run through the window over TCP (empty: none)")
    ap.add_argument("--xvfb", action="store_true", help="run the window under Xvfb")
    ap.add_argument("--window-without-probe", action="store_true",
                    help="after each window run, run it again without the 10 ms timer, whose "
                    "ticks cost CPU time of their own: the window's CPU share alone")
    ap.add_argument("--json-out", default=None)
    ap.add_argument("--report-only", default=None, metavar="JSON",
                    help="print the tables of an earlier --json-out file and stop")
    ap.add_argument("--nice", type=int, default=None,
                    help="run the tool and the simulator at this niceness (below 0 needs root): "
                    "approximates an idle machine when other work loads it")
    ap.add_argument("--fifo", type=int, default=None,
                    help="run the tool and the simulator SCHED_FIFO at this priority (root)")
    args = ap.parse_args()
    if args.nice is not None:
        NICE.extend(["nice", "-n", str(args.nice)])
    if args.fifo:
        NICE.extend(["chrt", "-f", str(args.fifo)])

    if args.report_only:
        with open(args.report_only) as f:
            saved = json.load(f)
        floors = {tuple(k.split("/")): v for k, v in saved["floors"].items()}
        print(report(saved["runs"], floors))
        return
    for tool in ("flashmere-cli", "flashmere-devsim", "upgrade-floor"):
        if not os.access(os.path.join(args.bin, tool), os.X_OK):
            sys.exit(f"missing {tool} in {args.bin}")
    work = tempfile.mkdtemp(prefix="flashmere-bench-")
    models = [m for m in args.models.split(",") if m]
    links = [link for link in args.links.split(",") if link]
    window_models = [m for m in args.window_models.split(",") if m]
    try:
        files = {m: make_firmware(args.bin, work, m) for m in set(models + window_models)}
        floors = {}
        for m in models:
            for link in links:
                floors[(m, link)] = floor_of(args.bin, files[m], link)
        for m in window_models:
            floors.setdefault((m, "tcp"), floor_of(args.bin, files[m], "tcp"))
        runs = []
        # Repetitions outermost: a partial run still covers every case.
        for rep in range(args.runs):
            for m in models:
                for link in links:
                    tag = f"cli-{m}-{link}-{rep}"
                    r = run_cli(args.bin, work, files[m], m, link, tag)
                    r["ratio"] = r["wall_ms"] / floors[(m, link)]["floor_ms"]
                    runs.append(r)
                    print(f"# {tag}: exit {r['exit']} wall {r['wall_ms']:.0f} ms ratio "
                          f"{r['ratio']:.4f} cpu {r['user_s'] + r['sys_s']:.2f} s "
                          f"rss {r['rss_kb']} kB load {r['load_before']:.2f} errors "
                          f"{sum(r['error_counters'].values())} anomalies "
                          f"{r['anomalies'][:3]}", flush=True)
            for m in window_models:
                for probe in (True, False) if args.window_without_probe else (True,):
                    tag = f"window-{m}-tcp-{rep}{'' if probe else '-noprobe'}"
                    r = run_window(args.bin, work, files[m], m, "tcp", tag, args.xvfb, probe)
                    r["ratio"] = r["wall_ms"] / floors[(m, "tcp")]["floor_ms"]
                    runs.append(r)
                    cpu = r["liveness"].get("run_cpu_ms")
                    share = f" ({100.0 * cpu / r['wall_ms']:.2f} %)" if cpu is not None else ""
                    print(f"# {tag}: exit {r['exit']} wall {r['wall_ms']:.0f} ms ratio "
                          f"{r['ratio']:.4f} gap {r['liveness'].get('max_gap_ms')} ms "
                          f"run CPU {cpu} ms{share} rss {r['rss_kb']} kB", flush=True)
                    if r["exit"] != 0:
                        print(r["stderr"], file=sys.stderr)
        if args.json_out:
            with open(args.json_out, "w") as f:
                json.dump({"runs": runs,
                           "floors": {f"{k[0]}/{k[1]}": v for k, v in floors.items()}},
                          f, indent=1)
        print(report(runs, floors))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
