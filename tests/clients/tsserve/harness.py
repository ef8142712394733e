"""TunerHost and tsserve under Wine for the HTTP tests, driven from the Linux
side: each program is a Wine process started here and ended by its id."""
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request
import urllib.error

TS = 188
SIM_MAGIC = 0x544D4953
SIM_PAYLOAD_PID = 0x100


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def loopback_address():
    """An address of its own in 127.0.0.0/8 for each rig: tsserve's discovery
    ports (UDP 65001 and 1900) on it are shared with no other test run."""
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(1, 254))


def free_port(address):
    """A port free on the address, with the two above it (tsserve's network
    tuner devices take port + 1 and port + 2)."""
    while True:
        with socket.socket() as s:
            s.bind((address, 0))
            port = s.getsockname()[1]
        if port > 65000:
            continue
        try:
            for p in (port + 1, port + 2):
                with socket.socket() as s:
                    s.bind((address, p))
            return port
        except OSError:
            continue


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


class Rig:
    """A folder with TunerHost.exe, tsserve.exe and the simulated plug-in as
    BonDriver_SimT.dll (terrestrial spaces) and BonDriver_SimS.dll (satellite)."""

    def __init__(self, build, name):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.wine = os.path.join(build, "wine-run.sh")
        self.dir = tempfile.mkdtemp(prefix="http-" + name + "-", dir=build)
        for exe in ("TunerHost.exe", "tsserve.exe", "tsrec.exe", "thctl.exe"):
            shutil.copy(os.path.join(self.bin, exe), self.dir)
        # The plug-in host TunerHost starts beside itself.
        for exe in ("PlugHost32.exe", "PlugHost64.exe"):
            if os.path.exists(os.path.join(self.bin, exe)):
                shutil.copy(os.path.join(self.bin, exe), self.dir)
        for kind in "TS":
            shutil.copy(os.path.join(self.bin, "BonDriver_Sim.dll"), os.path.join(self.dir, "BonDriver_Sim%s.dll" % kind))
            self.set_sim(kind, "")
        self.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n")
        self.host = None
        self.serve = None
        self.serve_out = os.path.join(self.dir, "tsserve.out")
        self.addr = loopback_address()
        self.port = None

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w", newline="") as f:
            f.write(text)

    def path(self, name):
        return os.path.join(self.dir, name)

    def set_sim(self, kind, lines):
        self.write("BonDriver_Sim%s.ini" % kind, "[Sim]\r\nSpaces=%s\r\nLog=%s\r\n%s" % (
            kind, wine_path(self.path("sim%s.log" % kind)), lines))

    def sim_count(self, kind, event):
        try:
            with open(self.path("sim%s.log" % kind)) as f:
                return sum(1 for line in f if line.rstrip("\n") == event)
        except FileNotFoundError:
            return 0

    def run(self, *args, timeout=60):
        """A Windows program run to its end. Its output goes through a file:
        Wine's own services, when this starts them, inherit the handles and
        would hold a pipe open."""
        with tempfile.TemporaryFile(mode="w+", dir=self.dir) as out:
            p = subprocess.run([self.wine] + list(args), cwd=self.dir, stdout=out, stderr=subprocess.STDOUT,
                               timeout=timeout, stdin=subprocess.DEVNULL)
            out.seek(0)
            p.stdout, p.stderr = out.read(), ""
            return p

    def start_host(self):
        self.host = subprocess.Popen([self.wine, "TunerHost.exe"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        r = self.run("thctl.exe", "wait", "30")
        check(r.returncode == 0, "TunerHost did not start: " + r.stdout + r.stderr)

    def stop_host(self):
        if not self.host:
            return
        if self.host.poll() is None:
            self.run("thctl.exe", "exit", "15")
        end(self.host)
        self.host = None

    def start_serve(self, *args, discovery=False):
        """tsserve on a port of its own. HDHomeRun's discovery port, which
        Wine's sockets take on the whole loopback interface, can be held by
        another test run's tsserve for a while: a test of discovery then
        starts tsserve again; the others do without it."""
        deadline = time.time() + 90
        while True:
            self.port = free_port(self.addr)
            self.serve = subprocess.Popen([self.wine, "tsserve.exe", "--listen", "%s:%d" % (self.addr, self.port)] +
                                          list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                                          stdout=open(self.serve_out, "w"), stderr=subprocess.STDOUT)
            started = time.time() + 30
            while "serving " not in self.serve_output():
                check(self.serve.poll() is None, "tsserve ended at start: " + self.serve_output())
                check(time.time() < started, "tsserve did not start within 30 s")
                time.sleep(0.2)
            socket.create_connection(self.where, timeout=5).close()
            if not discovery or "65001 is in use" not in self.serve_output():
                return
            check(time.time() < deadline, "UDP port 65001 stays in use: " + self.serve_output())
            self.stop_serve()
            time.sleep(random.uniform(2, 5))

    def serve_output(self):
        with open(self.serve_out, errors="replace") as f:
            return f.read()

    def stop_serve(self):
        """Ctrl+C, as a user ends it; the exit code."""
        if not self.serve:
            return None
        code = None
        if self.serve.poll() is None:
            self.serve.send_signal(signal.SIGINT)
            try:
                code = self.serve.wait(20)
            except subprocess.TimeoutExpired:
                pass
        else:
            code = self.serve.returncode
        end(self.serve)
        self.serve = None
        return code

    @property
    def where(self):
        """tsserve's (address, port)."""
        return (self.addr, self.port)

    def url(self, path, port=None):
        return "http://%s:%d%s" % (self.addr, port or self.port, path)

    def get(self, path, headers=None, timeout=15):
        """(status, headers, body) of a whole answer."""
        request = urllib.request.Request(self.url(path), headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def curl(self, *args, timeout=60):
        return subprocess.run(["curl", "-s"] + list(args), capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)

    def close(self):
        self.stop_serve()
        self.stop_host()
        shutil.rmtree(self.dir, ignore_errors=True)


def end(process):
    """Ends a process started here, by its id, if it still runs."""
    if process.poll() is None:
        process.kill()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        pass


class Stream:
    """What a viewer received, read as the simulated plug-in's stream."""

    def __init__(self, data):
        self.data = data

    def packets(self):
        n = len(self.data) // TS
        return [self.data[i * TS:(i + 1) * TS] for i in range(n)]

    def sync_ok(self):
        return all(p[0] == 0x47 for p in self.packets())

    def cc_errors(self):
        last, errors = {}, 0
        for p in self.packets():
            pid = ((p[1] & 0x1F) << 8) | p[2]
            if pid == 0x1FFF or not p[3] & 0x10:
                continue
            cc = p[3] & 0x0F
            flagged = (p[3] & 0x20) and p[4] > 0 and (p[5] & 0x80)
            if pid in last and not flagged and cc != last[pid] and cc != (last[pid] + 1) & 0x0F:
                errors += 1
            last[pid] = cc
        return errors

    def payloads(self):
        """(index of the packet, space, channel, sequence) of each payload packet."""
        out = []
        for i, p in enumerate(self.packets()):
            pid = ((p[1] & 0x1F) << 8) | p[2]
            if pid != SIM_PAYLOAD_PID or int.from_bytes(p[4:8], "little") != SIM_MAGIC:
                continue
            out.append((i, int.from_bytes(p[8:12], "little"), int.from_bytes(p[12:16], "little"),
                        int.from_bytes(p[16:24], "little")))
        return out

    def gaps(self):
        """Packets missing between payload packets: the sequence counts every packet."""
        p = self.payloads()
        return sum(1 for a, b in zip(p, p[1:]) if b[3] - a[3] != b[0] - a[0])

    def channels(self):
        return {(space, channel) for _, space, channel, _ in self.payloads()}

    def from_sequence(self, sequence):
        """The bytes from the packet with this sequence number on, or None."""
        for index, _, _, s in self.payloads():
            if s == sequence:
                return self.data[index * TS:]
            if s > sequence:
                delta = s - sequence
                return self.data[(index - delta) * TS:] if index >= delta else None
        return None
