#!/usr/bin/env python3
"""Checks the hostile test server itself: what it sends for each scripted behaviour,
what it records, its control requests, and its start/stop commands."""

import base64
import json
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

import hostile_server  # noqa: E402
from hostile_server import HostileServer  # noqa: E402


def exchange(port, request, timeout=2.0):
    """Sends raw request bytes and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(request)
        data = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return data
            data += chunk


def get(path, close=True, range_value=None):
    """A request; with `close` it asks the server to close the connection after it."""
    return ("GET %s HTTP/1.1\r\nHost: h\r\n%s%s\r\n"
            % (path, "Range: %s\r\n" % range_value if range_value else "",
               "Connection: close\r\n" if close else "")).encode("latin-1")


def split_response(data):
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1").split("\r\n"), body


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.TemporaryDirectory()
        with open(os.path.join(self.root.name, "file.bin"), "wb") as f:
            f.write(b"\x00\x01file")
        self.server = HostileServer(root=self.root.name).start()

    def tearDown(self):
        self.server.stop()
        self.root.cleanup()

    def receive_until_reset(self, path):
        """What arrives for a GET of `path` before the server resets the connection
        (which the test requires)."""
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=2) as conn:
            conn.sendall(get(path))
            received = b""
            with self.assertRaises(ConnectionResetError):
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    received += chunk
        return received

    def test_records_exact_bytes_and_answers_the_nth_request_with_the_nth_item(self):
        self.server.script({"/seq": [{"body": "one", "connection": "close"},
                                     {"body": "two", "connection": "close"}]})
        request = b"GET /seq?x=a b HTTP/1.1\r\nHost: h\r\nX-Odd:  v \r\n\r\n"
        self.assertTrue(exchange(self.server.port, request).endswith(b"\r\n\r\none"))
        self.assertTrue(exchange(self.server.port, get("/seq")).endswith(b"two"))
        self.assertTrue(exchange(self.server.port, get("/seq")).endswith(b"two"))
        recorded = self.server.requests("/seq")
        self.assertEqual([r.raw for r in recorded][0], request)
        self.assertEqual(recorded[0].target, "/seq?x=a b")
        self.assertEqual(recorded[0].header("x-odd"), "v")
        self.assertIsNone(recorded[0].header("Range"))
        self.assertEqual(len(recorded), 3)

    def test_chunked_body_with_extension_zero_bytes_and_trailers(self):
        plan = {"body": "ab\u0000cdef", "framing": "chunked", "chunks": [3, 0, 2],
                "chunk_ext": ";e=1", "trailers": [["X-T", "1"]], "connection": "close"}
        data, close = self.server.build_response(plan)
        self.assertTrue(close)
        head, body = data.split(b"\r\n\r\n", 1)
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertIn(b"Trailer: X-T", head)
        self.assertEqual(body, b"3;e=1\r\nab\x00\r\n2;e=1\r\ncd\r\n2;e=1\r\nef\r\n"
                               b"0;e=1\r\nX-T: 1\r\n\r\n")

    def test_continue_then_response_in_single_bytes(self):
        self.server.script({"/slow": {"body": "xyz", "continues": 1, "piece": 1,
                                      "connection": "close"}})
        data = exchange(self.server.port, get("/slow"))
        self.assertTrue(data.startswith(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"))
        self.assertTrue(data.endswith(b"Content-Length: 3\r\nConnection: close\r\n\r\nxyz"))

    def test_interim_responses_come_before_the_answer(self):
        data, _ = self.server.build_response({"body": "x", "continues": 1,
                                              "interim": [[103, 2], [102, 1]]})
        self.assertEqual([line for line in data.split(b"\r\n") if line.startswith(b"HTTP/")],
                         [b"HTTP/1.1 100 Continue", b"HTTP/1.1 103 Early Hints",
                          b"HTTP/1.1 103 Early Hints", b"HTTP/1.1 102 Processing",
                          b"HTTP/1.1 200 OK"])
        self.assertTrue(data.endswith(b"\r\n\r\nx"))

    def test_body_drop_at_resets_after_that_many_body_bytes(self):
        self.server.script({"/cut": {"body": "line 1\nline 2\n", "framing": "close",
                                     "headers": [["X-Pad", "p" * 100]], "body_drop_at": 7}})
        received = self.receive_until_reset("/cut")
        self.assertTrue(received.endswith(b"\r\n\r\nline 1\n"), received)

    def test_drop_resets_the_connection_in_the_middle(self):
        self.server.script({"/drop": {"body_size": 100000, "drop_at": 5000}})
        self.assertLessEqual(len(self.receive_until_reset("/drop")), 5000)

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        self.server.script({"/k1": {"body": "1"}, "/k2": {"body": "2", "connection": "close"}})
        data = exchange(self.server.port, get("/k1", close=False) + get("/k2", close=False))
        self.assertEqual(data.count(b"HTTP/1.1 200 OK"), 2)
        exchange(self.server.port, get("/k2"))
        recorded = self.server.requests("/k")
        self.assertEqual(len(recorded), 3)
        self.assertEqual(recorded[0].connection, recorded[1].connection)
        self.assertNotEqual(recorded[1].connection, recorded[2].connection)

    def test_close_framing_and_redirect_placeholders(self):
        self.server.script({"/r": {"location": "http://{host}:{port2}/next"},
                            "/c": {"body": "until close", "framing": "close"}})
        data, _ = self.server.build_response({"location": "http://{host}:{port2}/next"})
        self.assertTrue(data.startswith(b"HTTP/1.1 302 Found\r\n"))
        self.assertIn(("Location: http://127.0.0.1:%d/next" % self.server.port2).encode(), data)
        closed = exchange(self.server.port2, get("/c"))
        self.assertNotIn(b"Content-Length", closed)
        self.assertTrue(closed.endswith(b"\r\n\r\nuntil close"))
        self.assertEqual(self.server.requests("/c")[0].port, self.server.port2)

    def test_ranges_honoured_refused_ignored_and_answered_wrongly(self):
        size = 1000
        cases = [
            # (plan keys, Range header, status, Content-Range, body as (first, count))
            ({"ranges": True}, "bytes=400-", 206, "bytes 400-999/1000", (400, 600)),
            ({"ranges": True}, "bytes=10-19", 206, "bytes 10-19/1000", (10, 10)),
            ({"ranges": True}, "bytes=10-5000", 206, "bytes 10-999/1000", (10, 990)),
            ({"ranges": True}, "bytes=1000-", 416, "bytes */1000", (0, 0)),
            ({"ranges": True}, "bytes=-100", 200, None, (0, size)),
            ({"ranges": True}, None, 200, None, (0, size)),
            ({}, "bytes=400-", 200, None, (0, size)),
            ({"content_range": "bytes 0-99/1000"}, "bytes=400-", 206, "bytes 0-99/1000",
             (0, 100)),
            ({"content_range": "bytes 5-2/1000"}, "bytes=400-", 206, "bytes 5-2/1000",
             (400, 600)),
        ]
        for keys, range_value, status, content_range, (first, count) in cases:
            with self.subTest(keys=keys, range=range_value):
                data, _ = self.server.build_response({"body_size": size, **keys},
                                                     get("/r", range_value=range_value))
                lines, body = split_response(data)
                self.assertEqual(lines[0].split(" ")[1], str(status))
                found = [line for line in lines if line.startswith("Content-Range: ")]
                self.assertEqual(found, ["Content-Range: " + content_range]
                                 if content_range else [])
                self.assertIn("Content-Length: %d" % count, lines)
                self.assertEqual("Accept-Ranges: bytes" in lines, bool(keys))
                self.assertEqual(body, hostile_server.pattern_bytes(count, first))

    def test_drop_after_ends_the_stream_after_exactly_that_many_body_bytes(self):
        size = 4 * 1024 * 1024
        self.server.script({"/half": {"body_size": size, "drop_after": size // 2}})
        lines, body = split_response(exchange(self.server.port, get("/half", close=False),
                                              timeout=10))
        self.assertIn("Content-Length: %d" % size, lines)
        self.assertEqual(body, hostile_server.pattern_bytes(size // 2))

    def test_rate_and_drip_pace_the_body_but_not_the_head(self):
        for plan, least_s in (({"body_size": 200000, "rate": 400000}, 0.45),
                              ({"body_size": 50, "drip": [10, 100]}, 0.4)):
            with self.subTest(plan=plan):
                self.server.script({"/paced": plan})
                with socket.create_connection(("127.0.0.1", self.server.port),
                                              timeout=5) as conn:
                    conn.sendall(get("/paced"))
                    data = conn.recv(65536)
                    started = time.monotonic()
                    while True:
                        chunk = conn.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                    elapsed = time.monotonic() - started
                _, body = split_response(data)
                self.assertEqual(body, hostile_server.pattern_bytes(plan["body_size"]))
                self.assertGreaterEqual(elapsed, least_s)

    def test_large_generated_body_is_streamed_not_held(self):
        size = 256 * 1024 * 1024
        self.server.script({"/large": {"body_size": size, "connection": "close"}})
        peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB
        received = 0
        crc = 0
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as conn:
            conn.sendall(get("/large"))
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            chunk = data.split(b"\r\n\r\n", 1)[1]
            while True:
                crc = zlib.crc32(chunk, crc)
                received += len(chunk)
                chunk = conn.recv(1 << 20)
                if not chunk:
                    break
        expected = 0
        for offset in range(0, size, 1 << 20):
            expected = zlib.crc32(hostile_server.pattern_bytes(1 << 20, offset), expected)
        self.assertEqual((received, crc), (size, expected))
        growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before
        self.assertLess(growth, 64 * 1024, "KiB more at the peak")

    def test_defaults_close_after_each_response_without_saying_so(self):
        self.server.script({}, defaults={"close_after": True, "ranges": True})
        data = exchange(self.server.port, get("/file.bin", close=False, range_value="bytes=2-")
                        + get("/file.bin", close=False))
        self.assertEqual(data.count(b"HTTP/1.1 "), 1)
        lines, body = split_response(data)
        self.assertEqual(lines[0], "HTTP/1.1 206 Partial Content")
        self.assertFalse([line for line in lines if line.lower().startswith("connection")])
        self.assertEqual(body, b"file")
        self.server.script({"/own": {"body": "x", "close_after": False}})
        both = exchange(self.server.port, get("/own", close=False) + get("/own"))
        self.assertEqual(both.count(b"HTTP/1.1 200 OK"), 2)

    def test_endless_headers_never_end(self):
        self.server.script({"/endless": {"endless_headers": True}})
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=2) as conn:
            conn.sendall(get("/endless"))
            data = b""
            while len(data) < 200000:
                data += conn.recv(65536)
        self.assertNotIn(b"\r\n\r\n", data)

    def test_serves_files_from_the_root_corrupted_on_request_and_404_otherwise(self):
        self.assertTrue(exchange(self.server.port, get("/file.bin")).endswith(b"\x00\x01file"))
        self.server.script({"/file.bin": [{"file": "file.bin", "corrupt": True},
                                          {"file": "file.bin"}]})
        self.assertTrue(exchange(self.server.port, get("/file.bin")).endswith(b"\xff\xfe\x99\x96\x93\x9a"))
        self.assertTrue(exchange(self.server.port, get("/file.bin")).endswith(b"\x00\x01file"))
        self.assertTrue(exchange(self.server.port, get("/missing")).startswith(b"HTTP/1.1 404"))
        self.assertTrue(exchange(self.server.port, get("/../etc/passwd")).startswith(b"HTTP/1.1 404"))

    def test_control_requests_script_and_report_over_http(self):
        script = json.dumps({"routes": {"/ctl": {"body": "scripted", "connection": "close"}}})
        posted = exchange(self.server.port, ("POST /__script HTTP/1.1\r\nHost: h\r\n"
                                             "Content-Length: %d\r\n\r\n%s" % (len(script), script)).encode())
        self.assertTrue(posted.startswith(b"HTTP/1.1 200 OK"))
        self.assertTrue(exchange(self.server.port, get("/ctl")).endswith(b"scripted"))
        raw = exchange(self.server.port, get("/__requests?prefix=/ctl&format=raw"))
        body = raw.split(b"\r\n\r\n", 1)[1]
        header, rest = body.split(b"\n", 1)
        seq, port, connection, length = (int(x) for x in header.split())
        self.assertEqual(port, self.server.port)
        self.assertEqual(rest[:length], get("/ctl"))
        listed = json.loads(exchange(self.server.port, get("/__requests")).split(b"\r\n\r\n", 1)[1])
        self.assertEqual(base64.b64decode(listed[-1]["raw_b64"]), get("/ctl"))
        self.assertEqual(len(self.server.requests("/__")), 0)  # control requests are not recorded


class CommandLineTest(unittest.TestCase):
    def test_start_and_stop_leave_no_process(self):
        with tempfile.TemporaryDirectory() as state:
            script = os.path.join(SUPPORT, "hostile_server.py")
            subprocess.run([sys.executable, script, "start", "--state-dir", state,
                            "--idle-exit", "30"], check=True, stdout=subprocess.DEVNULL,
                           timeout=20)
            port = int(hostile_server._read(os.path.join(state, "port")))
            pid = int(hostile_server._read(os.path.join(state, "pid")))
            self.assertTrue(exchange(port, get("/none")).startswith(b"HTTP/1.1 404"))
            subprocess.run([sys.executable, script, "stop", "--state-dir", state], check=True,
                           timeout=20)
            self.assertFalse(os.path.exists(os.path.join(state, "port")))
            deadline = time.monotonic() + 5
            while hostile_server._is_our_server(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertFalse(hostile_server._is_our_server(pid))

    def test_idle_limit_ends_the_server(self):
        with tempfile.TemporaryDirectory() as state:
            script = os.path.join(SUPPORT, "hostile_server.py")
            process = subprocess.Popen([sys.executable, script, "serve", "--state-dir", state,
                                        "--idle-exit", "0.5"], stdout=subprocess.DEVNULL)
            try:
                self.assertEqual(process.wait(timeout=10), 0)
            finally:
                if process.poll() is None:
                    process.kill()


if __name__ == "__main__":
    unittest.main()
