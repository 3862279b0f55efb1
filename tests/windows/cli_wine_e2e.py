#!/usr/bin/env python3
"""flashmere-cli.exe under Wine against the Linux flashmere-devsim.

Over TCP on loopback and over a pseudo-terminal that Wine sees as a COM
port (a comN link in the private Wine prefix's dosdevices). Every case
checks the exit code and the last line; where the tool says "Upgrade ok."
the simulator's memory must hold the image exactly. Where the Linux
flashmere-cli is at hand, the frames the simulator received from both
programs are compared too.

Usage: cli_wine_e2e.py --wine WINE --cli flashmere-cli.exe --devsim DEVSIM
                       --work FOLDER [--linux-cli flashmere-cli] [CASE ...]
"""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

MODE = "115200,n,8,1"


def windows_path(path):
    """The path a Windows program under Wine uses for a Unix path (Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def pattern(size, seed=1):
    return bytes(((i * 13 + i // 256 + seed) & 0xFF) for i in range(size))


class Failure(Exception):
    pass


def check(condition, what, detail=""):
    if not condition:
        raise Failure(what + (("\n" + detail) if detail else ""))


def read_line(stream, deadline):
    """One line from a pipe, waiting no longer than the deadline."""
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return None
        chunk = os.read(stream.fileno(), 1)
        if not chunk:
            return None
        line += chunk
    return line.decode()


class Sim:
    """One flashmere-devsim process: its endpoint, then its memory."""

    def __init__(self, devsim, work, name, args, bus=False):
        # Several devices dump into a folder, one ID.bin each.
        self.dump = os.path.join(work, name if bus else name + ".bin")
        if bus:
            os.makedirs(self.dump, exist_ok=True)
        self.log = os.path.join(work, name + ".jsonl")
        self.process = subprocess.Popen(
            [devsim] + args + ["--dump", self.dump, "--log", self.log],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = read_line(self.process.stdout, time.monotonic() + 10) or ""
        if line.startswith("listening on "):
            self.endpoint = line[len("listening on "):].strip()
        elif line.startswith("serial "):
            self.endpoint = line[len("serial "):].strip()
        else:
            self.stop()
            raise Failure("flashmere-devsim did not start: " + line)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        return self.process.returncode

    def memory(self, device_id=None):
        self.stop()
        path = self.dump if device_id is None else os.path.join(self.dump, "%d.bin" % device_id)
        with open(path, "rb") as f:
            return f.read()

    def requests(self):
        """The frames the device received, in order."""
        self.stop()
        frames = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                event = json.loads(line)
                if event.get("event") == "request":
                    frames.append({k: v for k, v in event.items()
                                   if k not in ("t", "time", "ms", "at", "us")})
        return frames


class Wine:
    """A private Wine prefix and the programs run in it."""

    def __init__(self, wine, cli, prefix):
        self.wine, self.cli, self.prefix = wine, cli, prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        self.next_com = 5
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run([wine, "cmd", "/c", "exit 0"], env=self.env, timeout=180,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def com_port(self, target):
        """A COM port of the prefix that is the given Unix device."""
        name = "com%d" % self.next_com
        self.next_com += 1
        link = os.path.join(self.prefix, "dosdevices", name)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
        return name.upper()

    def listed_com_port(self, target):
        """A COM port that the system's port list shows too.

        Wine lists (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM) only the ports
        in its own table (HKLM\\Software\\Wine\\Ports), read when the
        prefix starts: the port goes there, and the prefix restarts."""
        name = "COM%d" % self.next_com
        self.next_com += 1
        subprocess.run([self.wine, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", name,
                        "/d", target, "/f"], env=self.env, timeout=60, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.close()
        return name

    def run(self, args, settings, timeout=120):
        env = dict(self.env, FLASHMERE_SETTINGS_FILE=windows_path(settings))
        result = subprocess.run([self.wine, self.cli] + args, env=env, capture_output=True,
                                timeout=timeout)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def start(self, args, settings):
        env = dict(self.env, FLASHMERE_SETTINGS_FILE=windows_path(settings))
        return subprocess.Popen([self.wine, self.cli] + args, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def close(self):
        """Ends every program of the prefix and its server."""
        server = os.path.join(os.path.dirname(self.wine), "wineserver")
        if not os.path.exists(server):
            server = shutil.which("wineserver") or "wineserver"
        subprocess.run([server, "-k"], env=self.env, timeout=30, stderr=subprocess.DEVNULL)
        subprocess.run([server, "-w"], env=self.env, timeout=30)


class Cases:
    def __init__(self, options):
        self.options = options
        self.work = options.work
        self.wine = Wine(options.wine, options.cli, os.path.join(self.work, "wine-prefix"))
        self.sims = []

    def folder(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def firmware(self, folder, name, model, size, seed=1):
        """A firmware file packed by the Windows program; its body."""
        body = pattern(size, seed)
        with open(os.path.join(folder, name + ".body"), "wb") as f:
            f.write(body)
        code, out, err = self.wine.run(
            ["pack", "--model", model, "--name", "E2E", "--version", "V2.0",
             windows_path(os.path.join(folder, name + ".body")),
             windows_path(os.path.join(folder, name))], os.path.join(folder, "settings.json"))
        check(code == 0, "pack exited %d" % code, out + err)
        return body

    def link(self, sim, over, mode=MODE):
        """The tool's options for the simulator's link."""
        if over == "tcp":
            return ["--net", sim.endpoint]
        return ["--com", self.wine.com_port(sim.endpoint), "--mode", mode]

    def sim(self, folder, name, over, args, bus=False):
        endpoint = ["--tcp", "127.0.0.1:0"] if over == "tcp" else ["--pty"]
        self.sims.append(Sim(self.options.devsim, folder, name, endpoint + args, bus))
        return self.sims[-1]

    def stop_sims(self):
        """Every simulator of the case ends with it, whatever the case did."""
        for sim in self.sims:
            sim.stop()
        self.sims = []

    def upgrade(self, over, model, size, mode=MODE, compare=True):
        # A folder name beyond ASCII, which the local code page may not hold.
        folder = self.folder("upgrade-%s-%s-%d-\u56fa\u4ef6-\u00fc" % (over, model, size))
        body = self.firmware(folder, "fw.TVB", model, size)
        sim = self.sim(folder, "device", over, ["--model", model, "--id", "0",
                                                "--reboot-ms", "300"])
        settings = os.path.join(folder, "settings.json")
        code, out, err = self.wine.run(
            ["upgrade", windows_path(os.path.join(folder, "fw.TVB"))] +
            self.link(sim, over, mode), settings)
        lines = out.splitlines()
        check(code == 0, "upgrade exited %d" % code, out + err)
        check(lines and lines[-1] == "Upgrade ok.", "no \"Upgrade ok.\" at the end", out)
        check("Verify ok." in out, "no \"Verify ok.\"", out)
        check("\r" not in out + err, "a line ends in \\r", repr(out))
        memory = sim.memory()
        check(memory[:len(body)] == body, "the device does not hold the image")
        if compare:
            self.same_frames_as_linux(folder, over, model, sim, mode)

    def same_frames_as_linux(self, folder, over, model, windows_sim, mode=MODE):
        """The Linux program sends the same frames for the same input."""
        if not self.options.linux_cli:
            return
        windows_frames = windows_sim.requests()
        sim = self.sim(folder, "linux", over, ["--model", model, "--id", "0",
                                               "--reboot-ms", "300"])
        link = (["--net", sim.endpoint] if over == "tcp"
                else ["--com", sim.endpoint, "--mode", mode])
        env = dict(os.environ, FLASHMERE_SETTINGS_FILE=os.path.join(folder, "linux.json"))
        result = subprocess.run([self.options.linux_cli, "upgrade",
                                 os.path.join(folder, "fw.TVB")] + link, env=env,
                                capture_output=True, timeout=180)
        check(result.returncode == 0, "the Linux program failed", result.stdout.decode())
        linux_frames = sim.requests()
        check(windows_frames == linux_frames,
              "the Windows program sent other frames than the Linux one",
              "windows %d frames, linux %d" % (len(windows_frames), len(linux_frames)))

    def refused(self, over):
        """A device of another model: refused before anything is written."""
        folder = self.folder("other-model-" + over)
        self.firmware(folder, "fw.TVB", "8401", 4 * 256)
        sim = self.sim(folder, "device", over, ["--model", "8400", "--id", "0"])
        code, out, err = self.wine.run(
            ["upgrade", windows_path(os.path.join(folder, "fw.TVB"))] + self.link(sim, over),
            os.path.join(folder, "settings.json"))
        check(code == 13, "exit %d, not 13" % code, out + err)
        check(out.splitlines()[-1:] == ["Firmware file type error!"], "wrong ending", out)
        check("Upgrade ok." not in out, "says \"Upgrade ok.\"", out)
        requests = sim.requests()
        check(not any(r.get("command") in ("0x6039", "0x6038") or "YP" in r.get("text", "")
                      for r in requests), "something was written to the device")

    def silent(self, over):
        """Nobody answers: "Connect device error!" with exit 11."""
        folder = self.folder("silent-" + over)
        self.firmware(folder, "fw.TVB", "8401", 256)
        held = []
        if over == "tcp":
            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            listener.listen(4)
            listener.settimeout(60)
            accepting = threading.Thread(target=lambda: held.append(listener.accept()),
                                         daemon=True)
            accepting.start()
            link = ["--net", "127.0.0.1:%d" % listener.getsockname()[1]]
            held.append(listener)
        else:
            master, slave = os.openpty()
            held += [master, slave]
            link = ["--com", self.wine.com_port(os.ttyname(slave)), "--mode", MODE]
        try:
            code, out, err = self.wine.run(
                ["upgrade", windows_path(os.path.join(folder, "fw.TVB"))] + link,
                os.path.join(folder, "settings.json"))
        finally:
            for h in held:
                if isinstance(h, int):
                    os.close(h)
                elif isinstance(h, tuple):
                    h[0].close()
                else:
                    h.close()
        check(code == 11, "exit %d, not 11" % code, out + err)
        check(out.splitlines()[-1:] == ["Connect device error!"], "wrong ending", out + err)

    def cut_off(self, over, how, pages=128, at_page=40):
        """The device goes away while a page is programmed, in one of two ways.

        "lost": the simulator is killed (a COM port also loses its link in
        the prefix), which the tool must report as a lost link. "frozen": the
        simulator is stopped (SIGSTOP) and the line falls silent, which must
        end with the page never acknowledged, within the Linux bound for one
        page's attempts (tests/support/run_bound.h: 2 x (exchange + 200) +
        10 + 51 + 6 + 3 x (exchange + 200), an exchange 10 + 5 + 1001 ms)
        plus the 5 s the real-time Linux runs allow."""
        folder = self.folder("%s-%s" % (how, over))
        self.firmware(folder, "fw.TVB", "8401", pages * 256)
        sim = self.sim(folder, "device", over, ["--model", "8401", "--id", "0"])
        link = self.link(sim, over)
        cli = self.wine.start(["upgrade", windows_path(os.path.join(folder, "fw.TVB")),
                               "--json"] + link, os.path.join(folder, "settings.json"))
        out = ""
        deadline = time.monotonic() + 90
        while '"bar":"program","position":%d,' % at_page not in out:
            line = read_line(cli.stdout, deadline)
            if line is None:
                break
            out += line
        running = cli.poll() is None
        if how == "frozen":
            sim.process.send_signal(signal.SIGSTOP)
        else:
            if over != "tcp":
                os.unlink(os.path.join(self.wine.prefix, "dosdevices", link[1].lower()))
            sim.process.kill()
        cut = time.monotonic()
        try:
            cli.wait(30)
        except subprocess.TimeoutExpired:
            cli.kill()
            cli.wait(5)
            raise Failure("the tool kept going after its device was gone")
        finally:
            sim.process.send_signal(signal.SIGCONT)
        took = time.monotonic() - cut
        out += cli.stdout.read().decode()
        check(running, "the tool ended before page %d" % at_page, out)
        check(cli.returncode == 15, "exit %d, not 15" % cli.returncode, out)
        check(out.splitlines()[-1:] and '"text":"Program/Download error!"' in out.splitlines()[-1],
              "not \"Program/Download error!\" at the end", out)
        check("Upgrade ok." not in out, "says \"Upgrade ok.\"", out)
        if how == "frozen":
            exchange = 10 + 5 + 1001
            bound = (2 * (exchange + 200) + 10 + 51 + 6 + 3 * (exchange + 200)) / 1000 + 5
            # The stop lands on that page's erase or program request, or the next.
            check(any("page %d (0x%04X) was never acknowledged" % (page, page * 256) in out
                      for page in (at_page, at_page + 1)),
                  "no unacknowledged page %d" % at_page, out)
            check(took <= bound, "ended %.1f s after the device froze, bound %.1f s"
                  % (took, bound), out)
            print("      the tool ended %.1f s after the device froze" % took)
        else:
            check('"reason":"the link was lost during programming' in out, "no lost link", out)

    def ports(self):
        """The COM port made for the test is listed."""
        folder = self.folder("ports")
        master, slave = os.openpty()
        try:
            name = self.wine.listed_com_port(os.ttyname(slave))
            code, out, err = self.wine.run(["ports", "--json"],
                                           os.path.join(folder, "settings.json"))
        finally:
            os.close(master)
            os.close(slave)
        check(code == 0, "ports exited %d" % code, out + err)
        names = [p["name"] for p in json.loads(out.splitlines()[-1])]
        check(name in names, "%s not among the ports" % name, out)

    def scan(self, over):
        """A bus of three devices: all three found, nothing else."""
        folder = self.folder("scan-" + over)
        sim = self.sim(folder, "bus", over, ["--model", "8401", "--id", "3", "--id", "7",
                                             "--device", "8801:12"], bus=True)
        code, out, err = self.wine.run(
            ["scan"] + self.link(sim, over) + ["--ids", "0-15", "--timeout-ms", "150", "--json"],
            os.path.join(folder, "settings.json"))
        check(code == 0, "scan exited %d" % code, out + err)
        found = ["%d:%s:%s" % (d["id"], d["model"], d["serial"])
                 for d in json.loads(out.splitlines()[-1])["found"]]
        check(found == ["3:8401:12345678", "7:8401:12345679", "12:8801:1234567A"],
              "found %s" % found, out)

    def fleet(self):
        """Two devices at once, one on TCP and one on a COM port."""
        folder = self.folder("fleet")
        binary = self.firmware(folder, "fw8401.TVB", "8401", 2 * 256)
        text = self.firmware(folder, "fw8801.TVB", "8801", 256 + 5, seed=7)
        tcp = self.sim(folder, "tcp", "tcp", ["--model", "8401", "--id", "0",
                                              "--reboot-ms", "300"])
        serial = self.sim(folder, "serial", "pty", ["--model", "8801", "--id", "5",
                                                    "--reboot-ms", "300"])
        com = self.wine.com_port(serial.endpoint)
        manifest = os.path.join(folder, "site.csv")
        with open(manifest, "w", encoding="utf-8") as f:
            f.write("name,net,com,mode,id,file\n"
                    "reader,%s,,,0,fw8401.TVB\n"
                    "text,,%s,\"%s\",5,fw8801.TVB\n" % (tcp.endpoint, com, MODE))
        code, out, err = self.wine.run(["fleet", windows_path(manifest), "--jobs", "2"],
                                       os.path.join(folder, "settings.json"))
        check(code == 0, "fleet exited %d" % code, out + err)
        with open(os.path.join(folder, "fleet-report.json"), encoding="utf-8") as f:
            devices = json.load(f)["devices"]
        ends = ["%d:%d:%s" % (d["row"], d["exit"], d["ok"]) for d in devices]
        check(ends == ["2:0:True", "3:0:True"], "rows ended %s" % ends, out)
        check(os.path.exists(os.path.join(folder, "fleet-report.csv")), "no CSV report")
        check(tcp.memory()[:len(binary)] == binary, "the TCP device does not hold its image")
        check(serial.memory()[:len(text)] == text, "the COM device does not hold its image")


def all_cases(cases):
    return {
        "upgrade_tcp_8401": lambda: cases.upgrade("tcp", "8401", 8 * 256),
        "upgrade_tcp_8801_text": lambda: cases.upgrade("tcp", "8801", 3 * 256 + 5),
        "upgrade_tcp_8081": lambda: cases.upgrade("tcp", "8081", 4 * 256),
        # Full-size images over a COM port: a 128-page 8401 at both speeds
        # of the window's quick buttons (a pty keeps no parity, so the
        # frames are compared once), a 96-page 8801.
        "upgrade_com_8401": lambda: cases.upgrade("pty", "8401", 128 * 256),
        "upgrade_com_8401_19200": lambda: cases.upgrade("pty", "8401", 128 * 256,
                                                        "19200,e,8,1", compare=False),
        "upgrade_com_8801_text": lambda: cases.upgrade("pty", "8801", 95 * 256 + 5),
        "other_model_tcp": lambda: cases.refused("tcp"),
        "other_model_com": lambda: cases.refused("pty"),
        "silent_tcp": lambda: cases.silent("tcp"),
        "silent_com": lambda: cases.silent("pty"),
        "lost_tcp": lambda: cases.cut_off("tcp", "lost", 8, 2),
        "lost_com": lambda: cases.cut_off("pty", "lost"),
        "frozen_com": lambda: cases.cut_off("pty", "frozen"),
        "ports": cases.ports,
        "scan_com": lambda: cases.scan("pty"),
        "scan_tcp": lambda: cases.scan("tcp"),
        "fleet": cases.fleet,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--linux-cli", default="")
    parser.add_argument("cases", nargs="*")
    options = parser.parse_args()
    for program in (options.devsim, options.cli):
        if not os.access(program, os.X_OK):
            print("not found: " + program)
            return 1
    options.work = os.path.abspath(options.work)
    os.makedirs(options.work, exist_ok=True)
    cases = Cases(options)
    failed = []
    try:
        table = all_cases(cases)
        for name in options.cases or list(table):
            started = time.monotonic()
            try:
                table[name]()
                print("ok    %-24s %5.1f s" % (name, time.monotonic() - started), flush=True)
            except (Failure, subprocess.TimeoutExpired, OSError, ValueError, KeyError) as e:
                failed.append(name)
                print("FAIL  %-24s %s" % (name, e), flush=True)
            finally:
                cases.stop_sims()
    finally:
        cases.stop_sims()
        cases.wine.close()
    print("%d cases, %d failed %s" % (len(options.cases or table), len(failed), " ".join(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
