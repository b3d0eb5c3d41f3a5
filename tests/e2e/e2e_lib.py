"""Shared pieces of the end-to-end tests: Wine, nginx, the publisher, sample
installations and the Windows-side helper.

Every server listens on 127.0.0.1 only. Scratch folders live under
$QV_BUILD_DIR/e2e-scratch and are removed when a test passes (kept for a look
when it fails, until the next run).
"""

import contextlib
import datetime
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import zlib
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("QV_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("QV_BUILD_DIR", SOURCE_DIR / "build"))
SCRATCH_DIR = BUILD_DIR / "e2e-scratch"

UPDATER = BUILD_DIR / "app" / "update.exe"
PUBLISHER = BUILD_DIR / "tools" / "publish" / "qvpublish.exe"
HELPER = BUILD_DIR / "tests" / "e2e" / "e2e_helper.exe"
SAMPLE_READER = BUILD_DIR / "tests" / "support" / "sample_reader" / "sample_qvreader" / "qvreader.exe"
SAMPLE_READER_NEXT = (
    BUILD_DIR / "tests" / "support" / "sample_reader" / "sample_qvreader_next" / "qvreader.exe"
)
HOSTILE_SERVER = SOURCE_DIR / "tests" / "support" / "hostile_server.py"

# Versions the two sample readers are built with (tests/support/sample_reader).
READER_VERSION = "1.0.0.1"
READER_NEXT_VERSION = "1.0.0.2"

# Generous limits: a Wine process starts in about a second on a busy machine.
RUN_TIMEOUT_S = 90

# A small release and the installation it replaces: a changed text, a changed binary
# (zipped where a test publishes *.bin zipped), an unchanged file and a new one in a
# new folder.
SMALL_OLD_FILES = {
    "data\\a.txt": b"old text of a\n",
    "b.bin": bytes((i * 7) & 0xFF for i in range(50_000)),
    "same.txt": b"unchanged\n",
}
SMALL_NEW_FILES = {
    "data\\a.txt": b"new text of a, a little longer\n",
    "b.bin": bytes((i * 13) & 0xFF for i in range(60_000)),
    "same.txt": b"unchanged\n",
    "c\\new.txt": b"a file the old release did not have\n",
}


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def win_path(path) -> str:
    """The Windows name of a Linux path under Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine_program() -> str:
    if os.path.exists("/usr/lib/wine/wine64"):
        return "/usr/lib/wine/wine64"
    return shutil.which("wine64") or shutil.which("wine") or "wine"


def wine_environment() -> dict:
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", str(BUILD_DIR / "wineprefix"))
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env["WINEARCH"] = "win64"
    return env


def _popen_windows(args, output, cwd):
    """Starts a Windows program under Wine, its output and errors going to the file
    `output`, its input empty."""
    return subprocess.Popen(
        [wine_program()] + [str(a) for a in args],
        stdin=subprocess.DEVNULL,
        stdout=output,
        stderr=subprocess.STDOUT,
        cwd=cwd,
        env=wine_environment(),
    )


def run_windows(args, timeout=RUN_TIMEOUT_S, cwd=None):
    """Runs a Windows program under Wine; returns (exit code, output). Output goes
    through a file: Wine's background processes would hold a pipe open."""
    with tempfile.TemporaryFile() as output:
        process = _popen_windows(args, output, cwd)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError(f"{args[0]} did not end within {timeout} s")
        output.seek(0)
        return code, output.read().decode("utf-8", "replace")


def start_windows(args, cwd=None) -> subprocess.Popen:
    """Starts a Windows program under Wine without waiting for it; end with
    finish()."""
    log = tempfile.TemporaryFile()
    process = _popen_windows(args, log, cwd)
    process.log = log
    return process


def finish(process: subprocess.Popen, timeout=RUN_TIMEOUT_S, kill=False):
    """Waits for a process of start_windows() (or kills it first) and releases its
    output file; returns its exit code, None when it had to be killed."""
    code = None
    try:
        if kill:
            process.kill()
        code = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    finally:
        process.log.close()
    return None if kill else code


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.settimeout(0.2)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


def wait_until(condition, timeout: float, step: float = 0.02) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def end_process(process, how):
    """Ends a server we started with the signal `how`, killing it if it lingers."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(how)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def require_binaries(test: unittest.TestCase, *paths):
    missing = [str(p) for p in paths if not Path(p).exists()]
    if missing:
        test.fail("not built: " + ", ".join(missing))


class Nginx:
    """nginx on 127.0.0.1 with its own configuration, pid, log and temporary
    folders, serving `root`. Requests are logged as "uri status bytes"."""

    def __init__(self, root, scratch, extra_locations="", tls=None, extra_servers="",
                 name="nginx"):
        """tls: (certificate chain file, key file) to serve HTTPS, reached as
        "localhost" (Wine matches certificate names against DNS names only).
        extra_servers: further server blocks, e.g. a plain one that redirects."""
        self.root = Path(root).resolve()
        self.dir = Path(scratch) / name
        self.port = free_port()
        self.process = None
        self.extra_locations = extra_locations
        self.tls = tls
        self.extra_servers = extra_servers

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/up1") -> str:
        if self.tls:
            return f"https://localhost:{self.port}{path}"
        return f"http://127.0.0.1:{self.port}{path}"

    def start(self):
        temp = self.dir / "temp"
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (temp / sub).mkdir(parents=True, exist_ok=True)
        user = "user root root;" if os.geteuid() == 0 else ""
        listen = f"127.0.0.1:{self.port}"
        if self.tls:
            listen += f" ssl;\n        ssl_certificate {self.tls[0]};\n" \
                      f"        ssl_certificate_key {self.tls[1]}"
        config = self.dir / "nginx.conf"
        config.write_text(f"""
daemon off;
master_process on;
worker_processes 1;
{user}
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 256; }}
http {{
    log_format qv '$request_uri $status $body_bytes_sent $connection';
    access_log {self.dir}/access.log qv;
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    default_type application/octet-stream;
    types {{ }}
    sendfile on;
    keepalive_timeout 30;
    server {{
        listen {listen};
        root {self.root};
        location / {{ }}
        {self.extra_locations}
    }}
    {self.extra_servers}
}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-p", str(self.dir), "-c", str(config), "-e", str(self.dir / "error.log")],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        if not wait_for_port(self.port):
            self.stop()
            log = (self.dir / "error.log").read_text() if (self.dir / "error.log").exists() else ""
            raise RuntimeError("nginx did not start:\n" + log)

    def stop(self):
        end_process(self.process, signal.SIGQUIT)
        self.process = None

    def requests(self):
        """[(uri, status, bytes)] in order."""
        log = self.dir / "access.log"
        if not log.exists():
            return []
        out = []
        for line in log.read_text().splitlines():
            parts = line.split(" ")
            if len(parts) == 4:
                out.append((parts[0], int(parts[1]), int(parts[2])))
        return out

    def connections(self):
        """The connection number of each logged request, in order."""
        log = self.dir / "access.log"
        if not log.exists():
            return []
        return [int(line.split(" ")[3]) for line in log.read_text().splitlines()
                if len(line.split(" ")) == 4]

    def uris(self):
        return [uri for uri, _, _ in self.requests()]

    def clear_log(self):
        """Forgets the requests so far (nginx appends to the emptied file)."""
        log = self.dir / "access.log"
        if log.exists():
            log.write_bytes(b"")


def publish(release, server, *options):
    """Makes an update server folder from a release folder with the publisher."""
    code, output = run_windows(
        [PUBLISHER, "publish", win_path(release), win_path(server), "--quiet", *options]
    )
    if code != 0:
        raise AssertionError(f"qvpublish failed with {code}:\n{output}")


def keygen(folder, name="release"):
    """A new signing key pair made by the publisher in `folder`: returns the private
    key file and the public key text (what cfg.ini's release_keys takes)."""
    folder = Path(folder)
    private, public = folder / f"{name}.key", folder / f"{name}.pub"
    code, output = run_windows(
        [PUBLISHER, "keygen", "--private", win_path(private), "--public", win_path(public)]
    )
    if code != 0:
        raise AssertionError(f"qvpublish keygen failed with {code}:\n{output}")
    return private, public.read_text().strip()


def publish_signed(release, server, private_key, *options):
    """publish() with release.dat signed by the private key file."""
    publish(release, server, "--sign", win_path(private_key), *options)


_CRC_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0xEDB88320 if _c & 1 else _c >> 1
    _CRC_TABLE.append(_c)
_CRC_ROW_BY_TOP_BYTE = {entry >> 24: i for i, entry in enumerate(_CRC_TABLE)}


def forge_crc32(data: bytes, target: int, position: int) -> bytes:
    """`data` with the 4 bytes at `position` replaced so that its CRC-32 is `target`:
    what an attacker does to pass a CRC check with other bytes of the same size."""
    data = bytearray(data)
    before = crc32(bytes(data[:position])) ^ 0xFFFFFFFF
    state = target ^ 0xFFFFFFFF
    # Run the CRC backwards over the bytes after the patch, then over the patch.
    for byte in reversed(data[position + 4:]):
        row = _CRC_ROW_BY_TOP_BYTE[state >> 24]
        state = (((state ^ _CRC_TABLE[row]) << 8) & 0xFFFFFFFF) | (row ^ byte)
    for _ in range(4):
        row = _CRC_ROW_BY_TOP_BYTE[state >> 24]
        state = (((state ^ _CRC_TABLE[row]) << 8) & 0xFFFFFFFF) | row
    data[position:position + 4] = (state ^ before).to_bytes(4, "little")
    assert crc32(bytes(data)) == target
    return bytes(data)


def read_list(path):
    """The lines of a list file, as (crc_installed, crc_download, aux, zipped, name)."""
    entries = []
    for line in Path(path).read_bytes().decode("utf-8").split("\n"):
        line = line.rstrip("\r")
        if not line:
            continue
        a, b, c, d, name = line.split(",", 4)
        entries.append((int(a), int(b), int(c), int(d), name))
    return entries


def list_line(crc_installed, crc_download, zipped, name) -> str:
    return f"{crc_installed},{crc_download},0,{1 if zipped else 0},{name}"


def tree(root, skip_update=True) -> dict:
    """{relative name with backslashes: bytes} of every file under root."""
    root = Path(root)
    out = {}
    for path in sorted(root.rglob("*")):
        if not path.is_file():
            continue
        rel = path.relative_to(root)
        if skip_update and rel.parts[0].lower() == "update":
            continue
        out["\\".join(rel.parts)] = path.read_bytes()
    return out


def write_tree(root, files: dict):
    for name, data in files.items():
        path = Path(root, *name.split("\\"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def config_text(upddir, release_keys=None) -> bytes:
    """cfg.ini naming the test server; with release_keys (text) in signed mode."""
    text = b"[urls]\r\nhome=http://127.0.0.1:9\r\nupddir=" + upddir.encode() + b"\r\n"
    if release_keys is not None:
        text += b"[security]\r\nrelease_keys=" + release_keys.encode() + b"\r\n"
    return text


class Installation:
    """A sample installation of the reader: update.exe, qvreader.exe, cfg.ini
    whose "upddir" names the test server, and any further files. The folder name
    holds a space, as "Program Files" does."""

    def __init__(self, scratch, upddir, reader=SAMPLE_READER, files=None, name="Qv Reader",
                 release_keys=None):
        self.dir = Path(scratch) / name
        self.dir.mkdir(parents=True)
        shutil.copyfile(UPDATER, self.dir / "update.exe")
        shutil.copyfile(reader, self.dir / "qvreader.exe")
        self.set_server(upddir, release_keys)
        write_tree(self.dir, files or {})

    def set_server(self, upddir, release_keys=None):
        """Points cfg.ini's "upddir" at another update server (signed mode with
        release_keys)."""
        (self.dir / "cfg.ini").write_bytes(config_text(upddir, release_keys))

    @classmethod
    def existing(cls, folder):
        """An installation made before, e.g. a copy of another one."""
        app = cls.__new__(cls)
        app.dir = Path(folder)
        return app

    @property
    def update_dir(self) -> Path:
        return self.dir / "update"

    def path(self, name) -> Path:
        return Path(self.dir, *name.split("\\"))

    def win(self, name="") -> str:
        return win_path(self.path(name)) if name else win_path(self.dir)

    def run(self, *args, silent=True, timeout=RUN_TIMEOUT_S):
        """Runs the installation's update.exe with the arguments, and "/silence"
        unless told otherwise; returns (exit code, output)."""
        args = (("/silence",) if silent else ()) + args
        return run_windows([self.win("update.exe"), *args], timeout=timeout, cwd=self.dir)

    def start(self, *args, silent=True) -> subprocess.Popen:
        args = (("/silence",) if silent else ()) + args
        return start_windows([self.win("update.exe"), *args], cwd=self.dir)

    def watch(self, also=None, args=("/silence",), timeout_ms=RUN_TIMEOUT_S * 1000):
        """Runs update.exe through the helper, which also waits for every process
        of the program `also` (a name in the installation) that appears meanwhile.
        Returns [(role, exit code, milliseconds)]."""
        out = Path(self.dir.parent, "watch.txt")
        also_path = self.win(also) if also else "-"
        code, output = run_windows(
            [HELPER, "watch", win_path(out), str(timeout_ms), also_path, self.win("update.exe"),
             *args],
            timeout=timeout_ms / 1000 + 30,
        )
        if code != 0:
            raise AssertionError(f"e2e_helper watch failed with {code}:\n{output}")
        rows = []
        for line in out.read_text().splitlines():
            role, exit_code, ms = line.split()
            rows.append((role, int(exit_code), int(ms)))
        return rows

    def files(self) -> dict:
        return tree(self.dir)


@contextlib.contextmanager
def scratch_folder(test: unittest.TestCase):
    """A fresh folder for one test; removed when the test body passed, kept for a
    look when it raised."""
    SCRATCH_DIR.mkdir(parents=True, exist_ok=True)
    folder = Path(tempfile.mkdtemp(prefix=test.id().split(".")[-1][:40] + "-", dir=SCRATCH_DIR))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def pending_renames() -> list:
    """The renames registered for the next start (source, target, source, target, ...;
    a target is empty for a delete), read by e2e_helper through the updater's own reader
    of both values; empty when there are none."""
    code, output = run_windows([HELPER, "renames"])
    if code != 0:
        raise AssertionError(f"the registered renames cannot be read: {output}")
    strings = []
    for line in output.split("\n"):
        fields = line.split("\t")
        if len(fields) == 2:
            strings.extend(fields)
    return strings


def clear_pending_renames():
    code, output = run_windows([HELPER, "renames", "clear"])
    if code != 0:
        raise AssertionError(f"the registered renames cannot be removed: {output}")


def another_updater_build(path, mark=b"\0another build\0") -> Path:
    """Writes another build of the updater to `path`: the same program with `mark`
    appended 64 times, which Windows loads like any other."""
    path = Path(path)
    path.write_bytes(UPDATER.read_bytes() + mark * 64)
    return path


def make_release(root, reader, files: dict, updater=UPDATER) -> Path:
    """A release folder: update.exe, the given qvreader.exe and the files."""
    root = Path(root)
    root.mkdir(parents=True)
    shutil.copyfile(updater, root / "update.exe")
    shutil.copyfile(reader, root / "qvreader.exe")
    write_tree(root, files)
    return root


def serve_sample_release(scratch, files: dict, *options):
    """The sample reader's next version with `files`, published into scratch/www/up1."""
    release = make_release(scratch / "release", SAMPLE_READER_NEXT, files)
    www = scratch / "www"
    www.mkdir()
    publish(release, www / "up1", *options)
    return release, www


class PendingRenamesTest(unittest.TestCase):
    """Tests that restart the prefix: nobody else's renames may be pending, and none
    of theirs may be left for the next cold start."""

    def setUp(self):
        require_binaries(self, UPDATER, PUBLISHER, HELPER, SAMPLE_READER, SAMPLE_READER_NEXT)
        self.assertEqual(pending_renames(), [], "the prefix has renames pending")

    def tearDown(self):
        clear_pending_renames()

    @contextlib.contextmanager
    def reader_running(self, app):
        """The installation's reader runs: Windows does not let a running program's
        file be opened for writing, so none of them can be replaced before a restart."""
        reader = start_windows([app.win("qvreader.exe"), "/sleep", "60000"])
        try:
            def started():
                reader.log.seek(0)
                return b"qvreader" in reader.log.read()
            self.assertTrue(wait_until(started, 60), "the reader did not start")
            yield
        finally:
            finish(reader, kill=True)


class TestAuthority:
    """A throwaway certificate authority (RSA 2048) that issues server certificates;
    trust() adds it to the test prefix's trusted roots through the helper, and
    untrust() removes it again."""

    def __init__(self, folder, name="qvupdate test authority"):
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import NameOID
        self._x509, self._hashes, self._rsa, self._oid = x509, hashes, rsa, NameOID
        self._serialization = serialization
        self.dir = Path(folder)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        now = datetime.datetime.now(datetime.timezone.utc)
        self.cert = (
            x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False,
                                         False), critical=True)
            .sign(self.key, hashes.SHA256()))
        self.der = self.dir / "authority.der"
        self.der.write_bytes(self.cert.public_bytes(serialization.Encoding.DER))
        self.trusted = False

    def issue(self, stem, names=("localhost",), days=(-1, 30)):
        """A server certificate for the DNS names, valid from days[0] to days[1]
        (relative to now); returns (chain file, key file) in PEM, as nginx takes them."""
        x509, hashes, serialization = self._x509, self._hashes, self._serialization
        key = self._rsa.generate_private_key(public_exponent=65537, key_size=2048)
        now = datetime.datetime.now(datetime.timezone.utc)
        cert = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(self._oid.COMMON_NAME, names[0])]))
            .issuer_name(self.cert.subject).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now + datetime.timedelta(days=days[0]))
            .not_valid_after(now + datetime.timedelta(days=days[1]))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName(n) for n in names]),
                           critical=False)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .sign(self.key, hashes.SHA256()))
        chain, key_file = self.dir / f"{stem}.pem", self.dir / f"{stem}.key"
        chain.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                               serialization.PrivateFormat.TraditionalOpenSSL,
                                               serialization.NoEncryption()))
        return chain, key_file

    def trust(self):
        code, output = run_windows([HELPER, "trust", win_path(self.der)])
        if code != 0:
            raise AssertionError(f"e2e_helper trust failed with {code}:\n{output}")
        self.trusted = True

    def untrust(self):
        if self.trusted:
            code, output = run_windows([HELPER, "untrust", win_path(self.der)])
            if code != 0:
                raise AssertionError(f"e2e_helper untrust failed with {code}:\n{output}")
            self.trusted = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.untrust()


class LoopbackRelay:
    """Accepts TCP connections on 127.0.0.1, counts them and hands each, on a thread of
    its own, to `relay(client)`, which a subclass writes (usually to a connection to
    `target_port`). Leaving its `with` block shuts the sockets listed in `sockets` and
    joins every thread."""

    def __init__(self, target_port):
        import threading
        self._threading = threading
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.sockets = []
        self.stopping = threading.Event()
        self.threads = []
        self._acceptor = threading.Thread(target=self._accept, daemon=True)

    def __enter__(self):
        self._acceptor.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self._acceptor.join(timeout=10)
        for s in self.sockets:
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
            s.close()
        for thread in self.threads:
            thread.join(timeout=10)
        self.listener.close()

    def spawn(self, target, *args):
        thread = self._threading.Thread(target=target, args=args, daemon=True)
        self.threads.append(thread)
        thread.start()

    def relay(self, client):
        raise NotImplementedError

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.connections += 1
            self.spawn(self.relay, client)

    @staticmethod
    def pump(source, sink):
        """Copies until `source` ends, then ends `sink`'s sending side."""
        with contextlib.suppress(OSError):
            while data := source.recv(65536):
                sink.sendall(data)
            sink.shutdown(socket.SHUT_WR)


class TlsFront(LoopbackRelay):
    """TLS on 127.0.0.1 in front of a plain server (the hostile test server): each
    connection it accepts is relayed to one connection to `target_port`, and when
    either side ends, both end (without close notify, as a dropped connection would)."""

    def __init__(self, target_port, chain):
        import ssl
        super().__init__(target_port)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.context.load_cert_chain(str(chain[0]), str(chain[1]))

    def url(self, path="/up1") -> str:
        return f"https://localhost:{self.port}{path}"

    def relay(self, client):
        client.settimeout(30)
        try:
            client = self.context.wrap_socket(client, server_side=True)
            server = socket.create_connection(("127.0.0.1", self.target_port), 10)
        except OSError:
            client.close()
            return
        done = self._threading.Event()

        def pump(source, sink):
            with contextlib.suppress(OSError):
                while not self.stopping.is_set() and (data := source.recv(65536)):
                    sink.sendall(data)
            done.set()

        upstream = self._threading.Thread(target=pump, args=(client, server), daemon=True)
        upstream.start()
        pump(server, client)
        done.wait(timeout=30)
        for s in (server, client):
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
            s.close()
        upstream.join(timeout=10)


class TinyProxy:
    """tinyproxy (Debian's package) on 127.0.0.1 with its own configuration and log;
    with `basic_auth` ("user password") it answers 407 to requests without it. It
    runs as the calling user (root in CI keeps root: tinyproxy only warns), and its
    files stay in the scratch folder."""

    def __init__(self, scratch, basic_auth=None):
        self.dir = Path(scratch) / "tinyproxy"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.basic_auth = basic_auth
        self.process = None

    def __enter__(self):
        config = self.dir / "tinyproxy.conf"
        auth = f"BasicAuth {self.basic_auth}\n" if self.basic_auth else ""
        config.write_text(f"""Port {self.port}
Listen 127.0.0.1
Timeout 30
LogFile "{self.dir}/tinyproxy.log"
LogLevel Info
MaxClients 32
Allow 127.0.0.1
DisableViaHeader Yes
{auth}""")
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", str(config)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        if not wait_for_port(self.port):
            self.__exit__()
            raise RuntimeError("tinyproxy did not start:\n" + self.log())
        return self

    def __exit__(self, *exc):
        end_process(self.process, signal.SIGTERM)
        self.process = None

    def log(self) -> str:
        path = self.dir / "tinyproxy.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def requests(self):
        """The request lines the proxy logged ("GET http://..." or "CONNECT host:port")."""
        out = []
        for line in self.log().splitlines():
            if "Request (file descriptor" in line:
                out.append(line.split("): ", 1)[1].rsplit(" HTTP/", 1)[0].strip())
        return out


INTERNET_SETTINGS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


@contextlib.contextmanager
def user_proxy_settings(enable, server=None, override=None):
    """Writes ProxyEnable, ProxyServer and ProxyOverride into the test prefix's
    Internet settings and restores what was there afterwards: the e2e tests share the
    prefix."""
    saved = {}
    for name in ("ProxyEnable", "ProxyServer", "ProxyOverride"):
        code, output = run_windows(["reg", "query", INTERNET_SETTINGS_KEY, "/v", name])
        saved[name] = None
        for line in output.splitlines() if code == 0 else []:
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == name:
                saved[name] = (parts[1], parts[2] if len(parts) == 3 else "")
    wanted = {"ProxyEnable": ("REG_DWORD", str(int(enable))),
              "ProxyServer": ("REG_SZ", server) if server is not None else None,
              "ProxyOverride": ("REG_SZ", override) if override is not None else None}

    def write(values):
        for name, value in values.items():
            if value is None:
                run_windows(["reg", "delete", INTERNET_SETTINGS_KEY, "/v", name, "/f"])
            else:
                code, output = run_windows(["reg", "add", INTERNET_SETTINGS_KEY, "/v", name,
                                            "/t", value[0], "/d", value[1], "/f"])
                if code != 0:
                    raise AssertionError(f"reg add {name} failed:\n{output}")

    write(wanted)
    try:
        yield
    finally:
        write(saved)
