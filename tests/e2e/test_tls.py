"""The real update.exe under Wine over HTTPS: nginx with TLS on localhost and a
certificate from a throwaway authority that the test adds to the prefix's trusted
roots (and removes again). An update over https, an http URL that the server sends
to https, and every way the TLS can be wrong, each of which installs nothing."""

import contextlib
import random
import socket
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402

MIB = 1024 * 1024

OLD_FILES = {"data\\a.txt": b"old text of a\n", "same.txt": b"unchanged\n"}
NEW_FILES = {
    "data\\a.txt": b"new text of a, a little longer\n",
    "same.txt": b"unchanged\n",
    "big.dat": bytes((i * 13) & 0xFF for i in range(400_000)),
}
CHANGED = ["qvreader.exe", "data\\a.txt", "big.dat"]


class CuttingRelay(e2e.LoopbackRelay):
    """Relays TCP connections on 127.0.0.1 to a port, but passes only the first
    `limit` bytes of the server's answer and then closes both sides: a handshake cut
    half-way."""

    def __init__(self, target_port, limit):
        super().__init__(target_port)
        self.limit = limit

    def relay(self, client):
        with client, socket.create_connection(("127.0.0.1", self.target_port), 5) as server:
            client.settimeout(5)
            server.settimeout(5)
            try:
                server.sendall(client.recv(65536))  # the client's hello
                passed = b""
                while len(passed) < self.limit:
                    data = server.recv(self.limit - len(passed))
                    if not data:
                        break
                    passed += data
                client.sendall(passed)
            except OSError:
                pass


class CountingRelay(e2e.LoopbackRelay):
    """Relays each TCP connection on 127.0.0.1 to one connection to a port, both ways,
    and counts the connections."""

    def relay(self, client):
        server = socket.create_connection(("127.0.0.1", self.target_port), 5)
        self.sockets += [client, server]
        self.spawn(self.pump, client, server)
        self.pump(server, client)


class TlsUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch):
        return e2e.serve_sample_release(scratch, NEW_FILES, "--zip", "*.dat")

    def assert_installed(self, app, release):
        self.assertEqual(app.files(), {**e2e.tree(release),
                                       "cfg.ini": app.path("cfg.ini").read_bytes()})

    def test_update_over_https_installs_over_kept_connections(self):
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            release, www = self.serve(scratch)
            authority.trust()
            with e2e.Nginx(www, scratch, tls=authority.issue("localhost")) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                requests = nginx.requests()
                connections = nginx.connections()
            self.assert_installed(app, release)
            expected = ["/up1/ver.dat", "/up1/filelist.dat"] + [
                "/up1/" + name.replace("\\", "/") for name in CHANGED]
            self.assertEqual(sorted(uri for uri, _, _ in requests), sorted(expected))
            self.assertTrue(all(status == 200 for _, status, _ in requests), requests)
            # The version and the list share the pass's connection over TLS.
            self.assertEqual(connections[0], connections[1])
            # The same server once its authority is no longer trusted: refused.
            authority.untrust()
            with e2e.scratch_folder(self) as folder, \
                    e2e.Nginx(www, folder, tls=authority.issue("again")) as nginx:
                self.run_refused(folder, nginx.url(), [nginx])
                self.assertEqual(nginx.requests(), [])

    def test_http_url_that_the_server_sends_to_https_installs(self):
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            release, www = self.serve(scratch)
            authority.trust()
            plain_port = e2e.free_port()
            nginx = e2e.Nginx(www, scratch, tls=authority.issue("localhost"))
            nginx.extra_servers = f"""server {{
        listen 127.0.0.1:{plain_port};
        location / {{ return 301 https://localhost:{nginx.port}$request_uri; }}
    }}"""
            with nginx:
                app = e2e.Installation(scratch, f"http://127.0.0.1:{plain_port}/up1",
                                       files=OLD_FILES)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                requests = nginx.requests()
            self.assert_installed(app, release)
            # Each fetch: the 301 over plain HTTP, then the file over TLS.
            self.assertIn(("/up1/ver.dat", 301), [r[:2] for r in requests])
            self.assertIn(("/up1/ver.dat", 200), [r[:2] for r in requests])

    def run_refused(self, scratch, app_url, servers_seen=()):
        """Runs an installation against `app_url`; nothing may be installed or staged,
        and no server in `servers_seen` may have answered a request with 200."""
        app = e2e.Installation(scratch, app_url, files=OLD_FILES)
        before = app.files()
        code, output = app.run()
        self.assertEqual(code, 2, output)
        self.assertEqual(app.files(), before)
        self.assertFalse((app.update_dir / "filelist.dat").exists())
        for server in servers_seen:
            self.assertNotIn(200, [status for _, status, _ in server.requests()])

    def test_every_wrong_tls_installs_nothing(self):
        cases = {
            "unknown authority": dict(authority="other"),
            "another name": dict(names=("other.example",)),
            "expired": dict(days=(-30, -1)),
            "not yet valid": dict(days=(2, 30)),
        }
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            _, www = self.serve(scratch)
            stranger = e2e.TestAuthority(scratch / "other", name="an unknown authority")
            authority.trust()
            for label, case in cases.items():
                with self.subTest(label), e2e.scratch_folder(self) as folder:
                    issuer = stranger if case.get("authority") else authority
                    chain = issuer.issue("server", names=case.get("names", ("localhost",)),
                                         days=case.get("days", (-1, 30)))
                    with e2e.Nginx(www, folder, tls=chain) as nginx:
                        self.run_refused(folder, nginx.url(), [nginx])
                        # Refused at the handshake: not one request went out.
                        self.assertEqual(nginx.requests(), [])

    def test_https_redirect_to_http_plain_text_and_a_cut_handshake_install_nothing(self):
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            _, www = self.serve(scratch)
            authority.trust()
            chain = authority.issue("localhost")
            with e2e.Nginx(www, scratch, name="plain") as plain:
                with self.subTest("https to http"), e2e.scratch_folder(self) as folder:
                    back = f"return 301 http://127.0.0.1:{plain.port}$request_uri;"
                    with e2e.Nginx(www, folder, tls=chain,
                                   extra_locations=f"location /up1/ {{ {back} }}") as nginx:
                        self.run_refused(folder, nginx.url(), [nginx, plain])
                        self.assertIn(("/up1/ver.dat", 301), [r[:2] for r in nginx.requests()])
                    self.assertEqual(plain.requests(), [])
                with self.subTest("plain text on the TLS port"), \
                        e2e.scratch_folder(self) as folder:
                    self.run_refused(folder, f"https://localhost:{plain.port}/up1", [plain])
            with e2e.Nginx(www, scratch, tls=chain, name="cut") as nginx:
                for limit in (1, 100, 1000):
                    with self.subTest(f"handshake cut after {limit} bytes"), \
                            e2e.scratch_folder(self) as folder, \
                            CuttingRelay(nginx.port, limit) as relay:
                        self.run_refused(folder, f"https://localhost:{relay.port}/up1", [nginx])
                        self.assertGreater(relay.connections, 0)
                self.assertEqual(nginx.requests(), [])

    def test_a_dropped_download_over_tls_resumes_and_requests_share_connections(self):
        name = "books\\book.bin"
        served = "/up1/books/book.bin"
        files = {**OLD_FILES, name: random.Random(1).randbytes(4 * MIB),
                 **{f"pages\\p{i}.txt": random.Random(i).randbytes(20_000) for i in range(8)}}
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, files)
            www = scratch / "www"
            www.mkdir()
            e2e.publish(release, www / "up1")
            authority.trust()
            half = {"file": served[1:], "ranges": True, "drop_after": 2 * MIB}
            with HostileServer(root=str(www)) as server, \
                    e2e.TlsFront(server.port, authority.issue("localhost")) as front:
                server.script({served: [half, {"file": served[1:], "ranges": True}]})
                app = e2e.Installation(scratch, front.url(), files=OLD_FILES)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                book = server.requests(served)
                requests = server.requests("/up1/")
            self.assert_installed(app, release)
            # The second attempt asks for exactly the rest, over TLS again.
            self.assertEqual(len(book), 2)
            self.assertIsNone(book[0].header("Range"))
            self.assertEqual(book[1].header("Range"), "bytes=%d-" % (2 * MIB))
            # The version and the list share one TLS connection, and so do downloads.
            connection = {r.target: r.connection for r in requests}
            self.assertEqual(connection["/up1/ver.dat"], connection["/up1/filelist.dat"])
            self.assertLess(len(set(connection.values())), len(requests))


    def test_a_refused_server_is_refused_on_every_later_connection_of_the_run(self):
        """The version and the list come from the right server; the changed files are
        sent on to a server that must be refused, which every file asks again on new
        connections. Both servers keep sessions, so a later connection could resume
        the first one's session: its certificate is checked all the same."""
        keep_sessions = "ssl_session_cache shared:qvtls:1m; ssl_session_tickets on;"
        moved = r"^/up1/(qvreader\.exe|data/a\.txt|big\.dat)$"
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            _, www = self.serve(scratch)
            stranger = e2e.TestAuthority(scratch / "other", name="an unknown authority")
            authority.trust()
            serve_moved = f"{keep_sessions} location /moved/ {{ alias {www}/; }}"
            for label, host, other in (("another name", "127.0.0.1", None),
                                       ("an unknown authority", "localhost", stranger)):
                with self.subTest(label), e2e.scratch_folder(self) as folder:
                    origin = e2e.Nginx(www, folder, tls=authority.issue("localhost"))
                    target = origin if other is None else e2e.Nginx(
                        www, folder, tls=other.issue("localhost"), name="other",
                        extra_locations=serve_moved)
                    with CountingRelay(target.port) as relay:
                        origin.extra_locations = serve_moved + (
                            f" location ~ {moved} {{ return 302 "
                            f"https://{host}:{relay.port}/moved$request_uri; }}")
                        with contextlib.ExitStack() as servers:
                            servers.enter_context(origin)
                            if target is not origin:
                                servers.enter_context(target)
                            app = e2e.Installation(folder, origin.url(), files=OLD_FILES)
                            before = app.files()
                            code, output = app.run()
                            self.assertEqual(code, 2, output)
                            self.assertEqual(app.files(), before)
                            self.assertIn(("/up1/filelist.dat", 200),
                                          [r[:2] for r in origin.requests()])
                            # Refused at each handshake: not one request reached it.
                            self.assertEqual([r for r in target.requests()
                                              if r[0].startswith("/moved/")], [])
                        self.assertGreaterEqual(relay.connections, 2)


if __name__ == "__main__":
    unittest.main()
