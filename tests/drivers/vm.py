#!/usr/bin/env python3
"""The machine of the driver tests: QEMU (TCG) with Debian's own kernel, a
16550A UART on ttyS1 and an FTDI USB adapter on ttyUSB0, each wired to a Unix
socket where this script plays the peer.

    vm.py prepare BUILD          kernel, modules and initramfs into BUILD/drivers-machine
    vm.py run BUILD [-- ARGS]    boots, runs drivers-guest ARGS, serves its requests
    vm.py bench BUILD [-- ARGS]  the same for bench_drivers_guest
    vm.py shell BUILD            boots and leaves a shell on this terminal

The guest program drives the run. It asks for what only the far end of a line
can do (send, receive and check bytes, stop reading, send a break, unplug and
replug the adapter) with "@@req VERB ARGS" lines on the console (ttyS0) and
waits for the "@@rep WORDS" answer, so every step is a handshake; nothing here
waits for a guest step by sleeping.
"""
import argparse
import base64
import fcntl
import gzip
import hashlib
import io
import json
import lzma
import os
import re
import select
import shlex
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Load order follows the modules' own dependencies; these are the ones asked for.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
PROGRAMS = ["drivers-guest", "bench_drivers_guest"]
KERNEL_META = "linux-image-amd64"
# QEMU's telnet server opens with IAC WILL ECHO, WILL SGA, WILL BINARY, DO BINARY.
TELNET_GREETING = bytes([255, 251, 1, 255, 251, 3, 255, 251, 0, 255, 253, 0])
IAC, BREAK = 255, 243


def log(*words):
    print("vm:", *words, file=sys.stderr, flush=True)


class Failure(Exception):
    pass


# ------------------------------------------------------------------ kernel --

def cache_dir():
    base = os.environ.get("KV_CACHE_DIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kv52804")
    path = os.path.join(base, "kernel")
    os.makedirs(path, exist_ok=True)
    return path


def apt(*args):
    return subprocess.run(["apt-get", *args], capture_output=True, text=True)


def kernel_uri():
    """(file name, sha256) of the current kernel package, or None offline."""
    dep = subprocess.run(["apt-cache", "depends", KERNEL_META], capture_output=True, text=True)
    names = re.findall(r"Depends: (linux-image-\S+-amd64)", dep.stdout)
    if not names:
        return None
    uris = apt("download", "--print-uris", names[0])
    m = re.search(r"'\S+' (\S+\.deb) \d+ SHA256:([0-9a-f]+)", uris.stdout)
    return (m.group(1), m.group(2)) if m else None


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def kernel_package():
    """The kernel .deb in the cache, downloaded when the cache lacks it."""
    cache = cache_dir()
    wanted = kernel_uri()
    if wanted is None and os.geteuid() == 0:
        apt("update")  # a fresh machine has no package lists yet
        wanted = kernel_uri()
    if wanted:
        name, digest = wanted
        path = os.path.join(cache, name)
        if os.path.exists(path) and sha256_file(path) == digest:
            return path
        log("downloading", name)
        with tempfile.TemporaryDirectory(dir=cache) as tmp:
            opts = ["-o", "APT::Sandbox::User=root"] if os.geteuid() == 0 else []
            got = subprocess.run(["apt-get", *opts, "download", name.split("_")[0]],
                                 cwd=tmp, capture_output=True, text=True)
            fetched = os.path.join(tmp, name)
            if got.returncode == 0 and os.path.exists(fetched) and sha256_file(fetched) == digest:
                os.replace(fetched, path)
                for old in os.listdir(cache):  # earlier kernels and what was unpacked of them
                    if old.startswith("linux-image-") and not path.startswith(os.path.join(cache, old)):
                        shutil.rmtree(os.path.join(cache, old), ignore_errors=True)
                        if os.path.isfile(os.path.join(cache, old)):
                            os.remove(os.path.join(cache, old))
                return path
            log("download failed:", got.stderr.strip()[-300:])
    cached = sorted(f for f in os.listdir(cache) if f.startswith("linux-image-") and f.endswith(".deb"))
    if cached:
        log("using the cached", cached[-1])
        return os.path.join(cache, cached[-1])
    raise Failure(f"no {KERNEL_META} package: apt-get could not fetch one and {cache} holds none")


def unpack_kernel(deb):
    """The kernel and the USB modules of the package, unpacked once per
    package file next to it in the cache: (vmlinux path, modules dir)."""
    dest = deb[:-len(".deb")]
    if not os.path.exists(os.path.join(dest, ".complete")):
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", dest, "--wildcards", "./boot/vmlinuz-*",
                        "./lib/modules/*/kernel/drivers/usb/*"], stdin=tar.stdout, check=True)
        if tar.wait() != 0:
            raise Failure(f"dpkg-deb could not read {deb}")
        open(os.path.join(dest, ".complete"), "w").close()
    boot = os.path.join(dest, "boot")
    vmlinux = os.path.join(dest, "vmlinux")
    if not os.path.exists(vmlinux):
        vmlinuz = os.path.join(boot, next(f for f in os.listdir(boot) if f.startswith("vmlinuz-")))
        with open(vmlinux + ".tmp", "wb") as f:
            f.write(uncompressed_kernel(vmlinuz))
        os.replace(vmlinux + ".tmp", vmlinux)
    mods = os.path.join(dest, "lib", "modules")
    return vmlinux, os.path.join(mods, os.listdir(mods)[0])


def uncompressed_kernel(vmlinuz):
    """The ELF image inside a bzImage. QEMU boots it directly (PVH entry),
    which saves the seconds that decompressing the kernel takes under TCG."""
    data = open(vmlinuz, "rb").read()
    for magic, fmt in ((b"\xfd7zXZ\x00", lzma.FORMAT_XZ), (b"\x5d\x00\x00", lzma.FORMAT_ALONE)):
        at = data.find(magic)
        if at < 0:
            continue
        try:
            elf = lzma.LZMADecompressor(format=fmt).decompress(data[at:])
        except lzma.LZMAError:
            continue
        if elf[:4] == b"\x7fELF":
            return elf
    raise Failure(f"cannot find the compressed kernel inside {vmlinuz}")


def module_bytes(path):
    """A module file as insmod wants it: packages may compress them."""
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], capture_output=True, check=True).stdout
    if path.endswith(".gz"):
        return gzip.decompress(data)
    return data


def module_load_order(moddir, names):
    """[(name, bytes)] with every module after the ones it depends on."""
    files = {}
    for root, _, entries in os.walk(moddir):
        for e in entries:
            m = re.match(r"(.+)\.ko(\.xz|\.zst|\.gz)?$", e)
            if m:
                files[m.group(1).replace("-", "_")] = os.path.join(root, e)
    order, seen = [], set()

    def visit(name):
        key = name.replace("-", "_")
        if key in seen:
            return
        if key not in files:
            raise Failure(f"module {name} is not among the USB modules unpacked from the kernel package")
        seen.add(key)
        data = module_bytes(files[key])
        deps = re.search(rb"\0depends=([^\0]*)\0", data)
        for dep in filter(None, (deps.group(1).decode().split(",") if deps else [])):
            visit(dep)
        order.append((key, data))

    for n in names:
        visit(n)
    return order


# --------------------------------------------------------------- initramfs --

def ldd_closure(program):
    out = subprocess.run(["ldd", program], capture_output=True, text=True)
    libs = set()
    for line in out.stdout.splitlines():
        m = re.search(r"(?:=> )?(/\S+) \(0x", line)
        if m:
            libs.add(m.group(1))
    return libs


class Cpio:
    """A newc archive written without root: device nodes need no mknod."""

    def __init__(self, path):
        self.f = open(path, "wb")
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.lstrip("/").encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name), 0]
        self.ino += 1
        self.f.write(b"070701" + b"".join(b"%08x" % v for v in fields) + name)
        self.f.write(b"\0" * (-(110 + len(name)) % 4))
        self.f.write(data)
        self.f.write(b"\0" * (-len(data) % 4))

    def dir(self, path):
        path = path.strip("/")
        if not path or path in self.dirs:
            return
        self.dir(os.path.dirname(path))
        self.dirs.add(path)
        self._entry(path, 0o040755)

    def file(self, path, data, mode=0o644):
        self.dir(os.path.dirname(path.strip("/")))
        self._entry(path, 0o100000 | mode, data)

    def chardev(self, path, major, minor):
        self._entry(path, 0o020600, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.f.close()


def stripped(program):
    with tempfile.NamedTemporaryFile() as tmp:
        subprocess.run(["objcopy", "--strip-debug", program, tmp.name], check=True)
        return open(tmp.name, "rb").read()


def prepare(build):
    machine = os.path.join(build, "drivers-machine")
    os.makedirs(machine, exist_ok=True)
    vmlinux, moddir = unpack_kernel(kernel_package())
    shutil.copyfile(vmlinux, os.path.join(machine, "vmlinux"))
    busybox = shutil.which("busybox")
    if not busybox:
        raise Failure("busybox is not installed (package busybox-static)")
    programs = [p for p in (os.path.join(build, "bin", n) for n in PROGRAMS) if os.path.exists(p)]
    if not programs:
        raise Failure(f"no guest program in {build}/bin: build drivers-guest first")
    cpio = Cpio(os.path.join(machine, "initrd.cpio.tmp"))
    for d in ("dev", "proc", "sys", "tmp", "root"):
        cpio.dir(d)
    cpio.chardev("dev/console", 5, 1)
    cpio.file("init", open(os.path.join(HERE, "init.sh"), "rb").read(), 0o755)
    cpio.file("bin/busybox", open(busybox, "rb").read(), 0o755)
    libs = set()
    for p in programs + [busybox]:
        libs |= ldd_closure(p)
    for lib in sorted(libs):
        cpio.file(lib, open(lib, "rb").read(), 0o755)
    for p in programs:
        cpio.file("bin/" + os.path.basename(p), stripped(p), 0o755)
    order = module_load_order(moddir, MODULES)
    for name, data in order:
        cpio.file(f"modules/{name}.ko", data)
    cpio.file("modules/order", "".join(f"{n}.ko\n" for n, _ in order).encode())
    cpio.close()
    os.replace(os.path.join(machine, "initrd.cpio.tmp"), os.path.join(machine, "initrd.cpio"))
    log("machine ready:", machine, "kernel", os.path.basename(moddir),
        "modules", " ".join(n for n, _ in order))
    return machine


# ------------------------------------------------------------------- peers --

class Line:
    """The host end of one serial device: everything received is collected
    unless the line is stalled (then QEMU's socket fills and the UART stops)."""

    def __init__(self, name, path, telnet):
        self.name, self.telnet = name, telnet
        self.sock = connect(path)
        if telnet:
            greeting = recv_exactly(self.sock, len(TELNET_GREETING))
            if greeting != TELNET_GREETING:
                raise Failure(f"{name}: unexpected telnet greeting {greeting.hex()}")
        self.buf = bytearray()
        self.cv = threading.Condition()
        self.stalled = self.parked = self.closed = False
        self.wake_r, self.wake_w = os.pipe()
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        while True:
            with self.cv:
                while self.stalled:
                    self.parked = True
                    self.cv.notify_all()
                    self.cv.wait()
                self.parked = False
            ready, _, _ = select.select([self.sock, self.wake_r], [], [])
            if self.wake_r in ready:
                os.read(self.wake_r, 64)
                continue
            data = self.sock.recv(1 << 16)
            with self.cv:
                if not data:
                    self.closed = True
                    self.cv.notify_all()
                    return
                self.buf += data
                self.cv.notify_all()

    def send(self, data, seconds=120, wait=True):
        """Returns once QEMU has taken every byte from the socket."""
        if self.telnet:
            data = data.replace(b"\xff", b"\xff\xff")
        self.sock.sendall(data)
        if not wait:
            return
        end = time.monotonic() + seconds
        while fcntl.ioctl(self.sock, termios.TIOCOUTQ, b"\0" * 4) != b"\0" * 4:
            if time.monotonic() > end:
                raise Failure(f"{self.name}: QEMU did not take the bytes within {seconds}s")
            time.sleep(0.005)

    def send_break(self):
        self.sock.sendall(bytes([IAC, BREAK]))

    def stall(self, on):
        with self.cv:
            self.stalled = on
            self.cv.notify_all()
        os.write(self.wake_w, b"x")
        if on:
            with self.cv:
                if not self.cv.wait_for(lambda: self.parked or self.closed, 10):
                    raise Failure(f"{self.name}: collector did not stop")

    def take(self, count, seconds):
        """Up to count bytes, waiting until that many came or time is up."""
        with self.cv:
            self.cv.wait_for(lambda: len(self.buf) >= count or self.closed, seconds)
            data = bytes(self.buf[:count])
            del self.buf[:count]
            return data

    def skip_to(self, marker, seconds):
        with self.cv:
            found = self.cv.wait_for(lambda: marker in self.buf or self.closed, seconds)
            if not found or marker not in self.buf:
                return False
            del self.buf[:self.buf.index(marker) + len(marker)]
            return True

    def drop(self):
        with self.cv:
            n = len(self.buf)
            self.buf.clear()
            return n


def connect(path, seconds=30, process=None):
    end = time.monotonic() + seconds
    while True:
        if process and process.poll() is not None:
            raise Failure(f"QEMU ended with {process.returncode}")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise Failure(f"QEMU did not open {path}")
            time.sleep(0.05)


def recv_exactly(sock, n, seconds=30):
    sock.settimeout(seconds)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    sock.settimeout(None)
    return data


class Qmp:
    def __init__(self, sock):
        self.sock = sock
        self.file = self.sock.makefile("rwb", buffering=0)
        self.events = []
        self.file.readline()  # greeting
        self.command("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise Failure("QEMU closed its monitor")
        return json.loads(line)

    def command(self, name, **args):
        self.file.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        while True:
            msg = self._read()
            if "event" in msg:
                self.events.append(msg)
            elif "error" in msg:
                raise Failure(f"{name}: {msg['error'].get('desc')}")
            elif "return" in msg:
                return msg["return"]

    def wait_event(self, name, device, seconds):
        self.sock.settimeout(seconds)
        try:
            while True:
                for e in self.events:
                    if e["event"] == name and e.get("data", {}).get("device") == device:
                        self.events.remove(e)
                        return
                self.events.append(self._read())
        except socket.timeout:
            raise Failure(f"no {name} for {device} within {seconds}s")
        finally:
            self.sock.settimeout(None)


# ----------------------------------------------------------------- machine --

def qemu_command(machine, sockets, mode, extra=()):
    return [
        "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-machine", "pc", "-accel", "tcg",
        "-m", "1024", "-smp", "1", "-display", "none", "-no-reboot",
        "-kernel", os.path.join(machine, "vmlinux"),
        "-initrd", os.path.join(machine, "initrd.cpio"),
        "-append", f"console=ttyS0,115200 quiet loglevel=1 panic=-1 kv.mode={mode}",
        *extra,
        # ttyS1: a 16550A; telnet framing lets the peer send a break.
        "-chardev", f"socket,id=s1,path={sockets}/ttyS1,server=on,wait=off,telnet=on",
        "-device", "isa-serial,chardev=s1",
        # ttyUSB0: an FTDI adapter behind an xHCI controller.
        "-device", "qemu-xhci,id=xhci",
        "-chardev", f"socket,id=usb0,path={sockets}/ttyUSB0,server=on,wait=off",
        "-device", "usb-serial,id=ftdi,chardev=usb0",
        "-qmp", f"unix:{sockets}/qmp,server=on,wait=off",
    ]


class Host:
    """Serves the guest program's requests until the machine powers off."""

    def __init__(self, machine, gcov_out):
        self.sockets = tempfile.mkdtemp(prefix="kv-vm-")
        self.gcov_out = gcov_out
        cmd = qemu_command(machine, self.sockets, "run", [
            "-S",  # start stopped: every socket is connected before the guest runs
            "-chardev", f"socket,id=con,path={self.sockets}/console,server=on,wait=off",
            "-serial", "chardev:con"])
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL)
        self.exit_code = None
        try:
            self.qmp = Qmp(connect(f"{self.sockets}/qmp", process=self.qemu))
            self.lines = {"ttyS1": Line("ttyS1", f"{self.sockets}/ttyS1", telnet=True),
                          "ttyUSB0": Line("ttyUSB0", f"{self.sockets}/ttyUSB0", telnet=False)}
            self.console = connect(f"{self.sockets}/console")
            self.qmp.command("cont")
        except BaseException:
            self.close()
            raise

    def close(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        shutil.rmtree(self.sockets, ignore_errors=True)

    def reply(self, *words):
        self.console.sendall(("@@rep " + " ".join(str(w) for w in words) + "\n").encode())

    def serve(self, command, seconds):
        end = time.monotonic() + seconds
        pending = b""
        gcov = None
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise Failure(f"the guest did not finish within {seconds}s")
            ready, _, _ = select.select([self.console], [], [], min(left, 5))
            if not ready:
                if self.qemu.poll() is not None:
                    raise Failure(f"QEMU ended with {self.qemu.returncode}")
                continue
            data = self.console.recv(1 << 16)
            if not data:
                break  # powered off
            pending += data
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                line = raw.rstrip(b"\r").decode("utf-8", "replace")
                if gcov is not None and line != "@@gcov-end":
                    gcov.append(line)
                    continue
                if not line:
                    continue  # the guest starts each request on a line of its own
                if not line.startswith("@@"):
                    print(line, flush=True)
                elif line == "@@ready":
                    self.console.sendall((command + "\n").encode())
                elif line.startswith("@@req "):
                    self.request(line[6:].split())
                elif line.startswith("@@exit "):
                    self.exit_code = int(line[7:])
                elif line == "@@gcov-begin":
                    gcov = []
                elif line == "@@gcov-end":
                    self.unpack_gcov("".join(gcov))
                    gcov = None
                else:
                    print(line, flush=True)
        self.qemu.wait()
        if self.exit_code is None:
            raise Failure("the machine stopped before the guest program ended")
        return self.exit_code

    def unpack_gcov(self, text):
        if not self.gcov_out:
            return
        with tarfile.open(fileobj=io.BytesIO(base64.b64decode(text))) as tar:
            tar.extractall(self.gcov_out)
        log("coverage data in", self.gcov_out)

    def request(self, words):
        verb, args = words[0], words[1:]
        try:
            handler = getattr(self, "do_" + verb.replace("-", "_"))
        except AttributeError:
            return self.reply("fail", "unknown-verb", verb)
        try:
            handler(*args)
        except Failure as e:
            self.reply("fail", str(e).replace("\n", " "))

    # Verbs. Byte counts and hashes go back so the guest can check them.
    def do_send(self, dev, count):
        data = os.urandom(int(count))
        self.lines[dev].send(data)
        self.reply("ok", hashlib.sha256(data).hexdigest())

    def do_sendhex(self, dev, hexdata):
        self.lines[dev].send(bytes.fromhex(hexdata))
        self.reply("ok")

    def do_recv(self, dev, count, seconds):
        data = self.lines[dev].take(int(count), float(seconds))
        self.reply("ok" if len(data) == int(count) else "short", len(data),
                   hashlib.sha256(data).hexdigest(), len(set(data)))

    def do_skipto(self, dev, marker, seconds):
        found = self.lines[dev].skip_to(marker.encode(), float(seconds))
        self.reply("ok" if found else "missing")

    def do_stall(self, dev):
        self.lines[dev].stall(True)
        self.reply("ok")

    def do_resume(self, dev):
        self.lines[dev].stall(False)
        self.reply("ok")

    def do_break(self, dev):
        self.lines[dev].send_break()
        self.reply("ok")

    def do_ping(self, dev, count):
        """Echo round trips of one byte each: median and 90th percentile, us."""
        line = self.lines[dev]
        line.drop()
        trips = []
        for _ in range(int(count)):
            start = time.perf_counter()
            line.send(b"U", wait=False)
            if not line.take(1, 10):
                return self.reply("fail", "no-echo")
            trips.append((time.perf_counter() - start) * 1e6)
        trips.sort()
        self.reply("ok", round(trips[len(trips) // 2]), round(trips[len(trips) * 9 // 10]))

    def do_unplug(self):
        self.qmp.command("device_del", id="ftdi")
        self.qmp.wait_event("DEVICE_DELETED", "ftdi", 60)
        self.reply("ok")

    def do_replug(self):
        self.qmp.command("device_add", driver="usb-serial", id="ftdi", chardev="usb0")
        self.reply("ok")


def run(build, program, args, seconds, gcov_out):
    machine = os.path.join(build, "drivers-machine")
    if not os.path.exists(os.path.join(machine, "initrd.cpio")):
        raise Failure(f"no machine in {machine}: run vm.py prepare first")
    env = ""
    if gcov_out:
        env = "GCOV_PREFIX=/gcov "
    if program == "drivers-guest":
        args = ["--gtest_color=no", *args]
    command = env + " ".join(["/bin/" + program] + [shlex.quote(a) for a in args])
    started = time.monotonic()
    host = Host(machine, gcov_out)
    try:
        code = host.serve(command, seconds)
    finally:
        host.close()
    log(f"{program} ended with {code} after {time.monotonic() - started:.1f}s")
    return code


def shell(build):
    machine = os.path.join(build, "drivers-machine")
    prepare(build)
    sockets = tempfile.mkdtemp(prefix="kv-vm-")
    print(f"The far ends: {sockets}/ttyS1 (telnet framing), {sockets}/ttyUSB0 (the adapter is\n"
          f"plugged in once something connects), QEMU's monitor (QMP): {sockets}/qmp.\n"
          f"For example: socat - UNIX-CONNECT:{sockets}/ttyUSB0. Leave with Ctrl-A x.")
    cmd = qemu_command(machine, sockets, "shell", ["-serial", "mon:stdio"])
    try:
        return subprocess.call(cmd)
    finally:
        shutil.rmtree(sockets, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("action", choices=["prepare", "run", "bench", "shell"])
    ap.add_argument("build", help="build directory (holds bin/)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds for the whole run")
    ap.add_argument("--gcov-out", help="where the guest's coverage data goes (coverage builds)")
    ap.add_argument("args", nargs="*", help="arguments for the guest program")
    o = ap.parse_args()
    build = os.path.abspath(o.build)
    try:
        if o.action == "prepare":
            prepare(build)
            return 0
        if o.action == "shell":
            return shell(build)
        program = "drivers-guest" if o.action == "run" else "bench_drivers_guest"
        return run(build, program, o.args, o.timeout, o.gcov_out)
    except Failure as e:
        log("FAILED:", e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
