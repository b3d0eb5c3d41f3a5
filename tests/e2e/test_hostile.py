"""The real update.exe under Wine against the hostile test server: wrong bodies,
chunked and redirected downloads, a dropped connection, and a stop request in the
middle of the downloads."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402
from test_nginx import CHANGED, NEW_FILES, OLD_FILES, ZIP_OPTIONS  # noqa: E402


def served(name):
    return "/up1/" + name.replace("\\", "/")


class HostileUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def run_against(self, scratch, routes, during=None):
        """Publishes the next release, serves it with the scripted faults and runs
        the updater of an old installation. Returns (installation, release, the
        server's request targets, the server's list entries)."""
        release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, NEW_FILES)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1", *ZIP_OPTIONS)
        entries = e2e.read_list(www / "up1" / "filelist.dat")
        with HostileServer(root=str(www)) as server:
            server.script(routes)
            app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
            if during is None:
                code, output = app.run()
            else:
                process = app.start()
                try:
                    during(app, server)
                finally:
                    code = e2e.finish(process)
                output = ""
            self.assertEqual(code, 2, output)
            targets = [r.target for r in server.requests()]
        return app, release, targets, entries

    def assert_installed(self, app, release):
        self.assertEqual(app.files(), {**e2e.tree(release),
                                       "cfg.ini": app.path("cfg.ini").read_bytes()})

    def test_wrong_body_twice_then_right_still_installs(self):
        name = "data\\a.txt"
        wrong = {"file": served(name)[1:], "corrupt": True}
        routes = {served(name): [wrong, wrong, {"file": served(name)[1:]}]}
        with e2e.scratch_folder(self) as scratch:
            app, release, targets, _ = self.run_against(scratch, routes)
            self.assertEqual(targets.count(served(name)), 3)
            self.assert_installed(app, release)

    def test_always_wrong_body_installs_nothing(self):
        name = "data\\a.txt"
        routes = {served(name): {"file": served(name)[1:], "corrupt": True}}
        with e2e.scratch_folder(self) as scratch:
            app, release, targets, entries = self.run_against(scratch, routes)
            before = {**OLD_FILES, "qvreader.exe": e2e.SAMPLE_READER.read_bytes()}
            # Three attempts, then the pass ends: whatever later files came meanwhile
            # (transfers run side by side) is not left staged.
            self.assertEqual(targets.count(served(name)), 3)
            names = [e[4] for e in entries]
            later = names[names.index(name) + 1:]
            self.assertTrue(later)
            self.assertFalse([n for n in later if app.path("update\\" + n).exists()])
            files = app.files()
            for rel, data in before.items():
                self.assertEqual(files[rel], data, rel)
            self.assertNotIn("plugins\\new\\n.dll", files)
            self.assertNotIn("docs\\readme.txt", files)
            # The last wrong download stays for a look; the lists stay.
            self.assertTrue(app.path("update\\" + name).exists())
            self.assertTrue((app.update_dir / "downlist.dat").exists())

    def test_chunked_and_redirected_downloads_install(self):
        routes = {
            # Zipped and chunked in pieces of odd sizes, with a trailer.
            served("big.dat"): {"file": "up1/big.dat", "framing": "chunked",
                                "chunks": [1, 7, 4096, 65536], "trailers": [["X-Qv", "1"]]},
            # A chain: a relative reference, an absolute path, then another port.
            served("data\\a.txt"): {"status": 302, "location": "a-moved.txt"},
            "/up1/data/a-moved.txt": {"status": 301, "location": "/moved/a.txt"},
            "/moved/a.txt": {"status": 303, "location": "http://{host}:{port2}/final/a.txt"},
            "/final/a.txt": {"file": "up1/data/a.txt"},
            # Body delimited by closing the connection.
            served("docs\\readme.txt"): {"file": "up1/docs/readme.txt", "framing": "close"},
        }
        with e2e.scratch_folder(self) as scratch:
            app, release, targets, _ = self.run_against(scratch, routes)
            self.assertIn("/up1/data/a-moved.txt", targets)
            self.assertIn("/moved/a.txt", targets)
            self.assertIn("/final/a.txt", targets)
            self.assert_installed(app, release)

    def test_dropped_connection_is_retried(self):
        name = "plugins\\new\\n.dll"
        routes = {served(name): [{"file": served(name)[1:], "drop_at": 40},
                                 {"file": served(name)[1:]}]}
        with e2e.scratch_folder(self) as scratch:
            app, release, targets, _ = self.run_against(scratch, routes)
            self.assertEqual(targets.count(served(name)), 2)
            self.assert_installed(app, release)

    def test_stop_request_during_the_downloads_keeps_what_was_staged(self):
        with e2e.scratch_folder(self) as scratch:
            state = {}

            def close_while_stalled(app, server):
                # The window closes while this download stalls: the transfer is cut at
                # once, and the job stops.
                self.assertTrue(e2e.wait_until(
                    lambda: server.requests(prefix=state["stalled"]), 60))
                code, output = e2e.run_windows([e2e.HELPER, "close", app.win("update.exe")])
                self.assertEqual(code, 0, output)

            # Stall the second changed file of the list.
            release_probe = e2e.make_release(scratch / "probe", e2e.SAMPLE_READER_NEXT,
                                             NEW_FILES)
            e2e.publish(release_probe, scratch / "probe-up1", *ZIP_OPTIONS)
            order = [e[4] for e in e2e.read_list(scratch / "probe-up1" / "filelist.dat")
                     if e[4] in CHANGED]
            stalled = order[1]
            state["stalled"] = served(stalled)
            routes = {served(stalled): {"file": served(stalled)[1:], "stall_at": 3,
                                        "stall_ms": 2500}}
            app, release, targets, _ = self.run_against(scratch, routes,
                                                        during=close_while_stalled)
            # Nothing after the stalled file stays staged, nothing installed.
            for name in order[1:]:
                self.assertFalse(app.path("update\\" + name).exists(), name)
            self.assertEqual(app.path("qvreader.exe").read_bytes(),
                             e2e.SAMPLE_READER.read_bytes())
            self.assertEqual(app.path("data\\a.txt").read_bytes(), OLD_FILES["data\\a.txt"])
            # What was staged before it stays, and both lists.
            for name in order[:1]:
                self.assertEqual(app.path("update\\" + name).read_bytes(),
                                 release.joinpath(*name.split("\\")).read_bytes(), name)
            self.assertTrue((app.update_dir / "filelist.dat").exists())
            self.assertTrue((app.update_dir / "downlist.dat").exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
