"""The latency proxy against small servers of its own on 127.0.0.1: a round trip
costs two delays (and a new connection one more round trip), the rate is shared by
connections and directions, bytes keep their order, a reader that stops leaves a
bounded queue, and the proxy ends by itself. About five seconds."""

import hashlib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import latency_proxy  # noqa: E402
from latency_proxy import LatencyProxy  # noqa: E402


def pattern(size: int) -> bytes:
    return (bytes(range(251)) * (size // 251 + 1))[:size]


def receive_exactly(conn, size: int) -> bytes:
    data = bytearray()
    while len(data) < size:
        block = conn.recv(min(size - len(data), 1 << 20))
        if not block:
            break
        data += block
    return bytes(data)


class Server:
    """A TCP server on 127.0.0.1 running `handler(conn)` for each connection, on
    threads."""

    def __init__(self, handler):
        self.handler = handler
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            self.handler(conn)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.listener.close()


def echo(conn):
    while block := conn.recv(65536):
        conn.sendall(block)


def send_or_sink(conn):
    """"send N\\n": N pattern bytes back; "sink N\\n": reads N bytes, answers their
    SHA-256 in hex."""
    line = b""
    while not line.endswith(b"\n"):
        line += conn.recv(1)
    command, size = line.split()
    if command == b"send":
        conn.sendall(pattern(int(size)))
    else:
        conn.sendall(hashlib.sha256(receive_exactly(conn, int(size))).hexdigest().encode())


class LatencyProxyTest(unittest.TestCase):
    def test_round_trips_cost_two_delays_and_a_new_connection_one_more(self):
        delay = 0.05
        with Server(echo) as server, LatencyProxy(server.port, delay=delay) as proxy:
            with socket.create_connection(("127.0.0.1", proxy.port)) as conn:
                timings = []
                for _ in range(2):
                    start = time.monotonic()
                    conn.sendall(b"x")
                    self.assertEqual(conn.recv(1), b"x")
                    timings.append(time.monotonic() - start)
        first, second = timings
        self.assertGreaterEqual(first, 4 * delay)
        self.assertLess(first, 4 * delay + 0.06)
        self.assertGreaterEqual(second, 2 * delay)
        self.assertLess(second, 2 * delay + 0.06)

    def test_rate_is_shared_by_connections_and_directions_and_order_kept(self):
        rate, size = 2e6, 1_500_000
        results = {}

        def download():
            with socket.create_connection(("127.0.0.1", proxy.port)) as conn:
                conn.sendall(b"send %d\n" % size)
                results["download"] = receive_exactly(conn, size + 1)

        def upload():
            with socket.create_connection(("127.0.0.1", proxy.port)) as conn:
                conn.sendall(b"sink %d\n" % size + pattern(size))
                results["upload"] = receive_exactly(conn, 65)

        with Server(send_or_sink) as server, LatencyProxy(server.port, delay=0.01,
                                                          rate=rate) as proxy:
            start = time.monotonic()
            threads = [threading.Thread(target=f) for f in (download, upload)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(30)
            elapsed = time.monotonic() - start
        self.assertEqual(results["download"], pattern(size))
        self.assertEqual(results["upload"], hashlib.sha256(pattern(size)).hexdigest().encode())
        expected = 2 * size / rate
        self.assertGreater(elapsed, 0.8 * expected)
        self.assertLess(elapsed, 1.2 * expected)

    def test_a_reader_that_stops_leaves_a_bounded_queue(self):
        size = 32 << 20
        with Server(send_or_sink) as server, LatencyProxy(server.port, rate=1e9,
                                                          handshake=False) as proxy:
            with socket.create_connection(("127.0.0.1", proxy.port)) as conn:
                conn.sendall(b"send %d\n" % size)
                time.sleep(0.5)
                data = receive_exactly(conn, size + 1)
            peak = proxy.peak_queued
        self.assertEqual(data, pattern(size))
        self.assertGreater(peak, 0)
        self.assertLessEqual(peak, latency_proxy.DIRECTION_QUEUE + latency_proxy.READ_SIZE)

    def test_ends_by_itself_when_idle_or_at_its_time_limit(self):
        with Server(echo) as server:
            proxy = LatencyProxy(server.port, idle_exit=0.3).start()
            self.assertTrue(proxy.wait(3))
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", proxy.port), timeout=1).close()

            with tempfile.TemporaryDirectory() as folder:
                port_file = Path(folder) / "port"
                process = subprocess.Popen(
                    [sys.executable, latency_proxy.__file__, "serve", "--target",
                     str(server.port), "--delay-ms", "1", "--max-run", "1",
                     "--port-file", str(port_file)], stdout=subprocess.DEVNULL)
                try:
                    deadline = time.monotonic() + 5
                    while not port_file.exists() and time.monotonic() < deadline:
                        time.sleep(0.02)
                    with socket.create_connection(("127.0.0.1", int(port_file.read_text()))) as c:
                        c.sendall(b"ping")
                        self.assertEqual(receive_exactly(c, 4), b"ping")
                    self.assertEqual(process.wait(5), 0)
                    self.assertFalse(port_file.exists())
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait()


if __name__ == "__main__":
    unittest.main()
