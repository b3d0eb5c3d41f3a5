"""The real update.exe under Wine through a real proxy (tinyproxy on 127.0.0.1): the
user's Internet settings written into the test prefix's registry (and restored), plain
HTTP as absolute URLs and HTTPS through CONNECT, the bypass list, cfg.ini's [proxy]
server overriding the user's settings, and a proxy that wants authentication."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402

OLD_FILES = {"data\\a.txt": b"old text of a\n"}
NEW_FILES = {"data\\a.txt": b"new text of a, a little longer\n",
             "b.bin": bytes((i * 13) & 0xFF for i in range(60_000))}


class ProxyUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch):
        return e2e.serve_sample_release(scratch, NEW_FILES)

    def run_app(self, folder, url, proxy_line=None):
        """Runs an installation against `url` (cfg.ini with `[proxy] server=...` when
        given); returns True when the release was installed."""
        app = e2e.Installation(folder, url, files=OLD_FILES)
        if proxy_line is not None:
            with open(app.path("cfg.ini"), "ab") as cfg:
                cfg.write(b"[proxy]\r\nserver=" + proxy_line.encode() + b"\r\n")
        code, output = app.run()
        self.assertEqual(code, 2, output)
        installed = app.path("data\\a.txt").read_bytes() == NEW_FILES["data\\a.txt"]
        if installed:
            self.assertEqual(app.path("b.bin").read_bytes(), NEW_FILES["b.bin"])
        else:
            self.assertFalse(app.path("b.bin").exists())
        return installed

    def test_http_and_https_go_through_the_users_proxy(self):
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            _, www = self.serve(scratch)
            authority.trust()
            with e2e.TinyProxy(scratch) as proxy, \
                    e2e.Nginx(www, scratch, name="plain") as plain, \
                    e2e.Nginx(www, scratch, tls=authority.issue("localhost"), name="tls") as tls:
                forms = {
                    "one proxy": f"127.0.0.1:{proxy.port}",
                    "per scheme": f"http=127.0.0.1:{proxy.port};https=127.0.0.1:{proxy.port}",
                }
                for label, server in forms.items():
                    with self.subTest(label), e2e.user_proxy_settings(True, server, ""):
                        for url in (plain.url(), tls.url()):
                            with e2e.scratch_folder(self) as folder:
                                self.assertTrue(self.run_app(folder, url), url)
                requests = proxy.requests()
            # Plain HTTP as absolute URLs, HTTPS as tunnels to the origin by name.
            self.assertIn(f"GET http://127.0.0.1:{plain.port}/up1/ver.dat", requests)
            self.assertIn(f"GET http://127.0.0.1:{plain.port}/up1/b.bin", requests)
            self.assertIn(f"CONNECT localhost:{tls.port}", requests)
            self.assertFalse([r for r in requests if r.startswith("GET https")], requests)

    def test_bypass_list_and_cfg_ini_decide_whether_the_proxy_is_used(self):
        dead = e2e.free_port()  # nothing listens there: going through it fails
        with e2e.scratch_folder(self) as scratch:
            _, www = self.serve(scratch)
            with e2e.TinyProxy(scratch) as proxy, e2e.Nginx(www, scratch) as nginx:
                cases = [
                    # (label, registry override, cfg.ini server, installs, through proxy)
                    ("the user's dead proxy", "", None, False, False),
                    ("bypassed by pattern", "localhost;127.0.0.*", None, True, False),
                    ("<local> does not cover a dotted address", "<local>", None, False, False),
                    ("cfg.ini says direct", "", "direct", True, False),
                    ("cfg.ini names another proxy", "", f"127.0.0.1:{proxy.port}", True, True),
                ]
                for label, override, cfg, installs, proxied in cases:
                    with self.subTest(label), e2e.scratch_folder(self) as folder, \
                            e2e.user_proxy_settings(True, f"127.0.0.1:{dead}", override):
                        before = len(proxy.requests())
                        self.assertEqual(self.run_app(folder, nginx.url(), cfg), installs)
                        self.assertEqual(len(proxy.requests()) > before, proxied)

    def test_a_proxy_that_wants_authentication_installs_nothing(self):
        with e2e.scratch_folder(self) as scratch, \
                e2e.TestAuthority(scratch / "ca") as authority:
            _, www = self.serve(scratch)
            authority.trust()
            with e2e.TinyProxy(scratch, basic_auth="user secret") as proxy, \
                    e2e.Nginx(www, scratch, name="plain") as plain, \
                    e2e.Nginx(www, scratch, tls=authority.issue("localhost"), name="tls") as tls, \
                    e2e.user_proxy_settings(True, f"127.0.0.1:{proxy.port}", ""):
                for url in (plain.url(), tls.url()):
                    with self.subTest(url), e2e.scratch_folder(self) as folder:
                        self.assertFalse(self.run_app(folder, url))
                # Both asked the proxy, which answered 407 and passed nothing on.
                requests = proxy.requests()
                self.assertIn(f"GET http://127.0.0.1:{plain.port}/up1/ver.dat", requests)
                self.assertIn(f"CONNECT localhost:{tls.port}", requests)
                self.assertEqual(plain.requests(), [])
                self.assertEqual(tls.requests(), [])


if __name__ == "__main__":
    unittest.main()
