"""The real update.exe (and its engine through e2e_helper, where the job's result
counts) under Wine against answers that are cut, huge, slow or unusual: none may pass
for a whole file, and an unusual but sound answer still installs."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402

UPDATER_NORMAL_END = 2  # update.exe's exit code whatever the job's result
JOB_FILE_LIST_FAILED = 1  # filelist.dat not fetched
JOB_VERSION_CHECK_FAILED = 8  # ver.dat not fetched
MAX_VERSION_BYTES = 4096
OLD_FILES = {"data\\a.txt": b"old text of a\n", "same.txt": b"unchanged\n"}
NEW_FILES = {
    "ver.dat": e2e.READER_NEXT_VERSION.encode(),  # the installed version's own record
    "data\\a.txt": b"new text of a, a little longer\n",
    "same.txt": OLD_FILES["same.txt"],
    "c\\new.txt": b"a file the old release did not have\n",
}


class Answers(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch):
        """Publishes the next release with ver.dat listed first in filelist.dat: the file
        that, installed alone, would make every later run find "up to date". Returns the
        release folder, the server's root and the served list's lines."""
        release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, NEW_FILES)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1")
        served = www / "up1" / "filelist.dat"
        lines = served.read_bytes().decode("utf-8").splitlines(keepends=True)
        lines.sort(key=lambda line: not line.rstrip("\r\n").endswith(",ver.dat"))
        self.assertTrue(lines[0].rstrip("\r\n").endswith(",ver.dat"))
        served.write_bytes("".join(lines).encode("utf-8"))
        return release, www, lines

    def run_job(self, app, server, slow_window_ms=None):
        if slow_window_ms is None:
            args = [e2e.HELPER, "job", app.win(), server.url("/up1"), "normal", "-1"]
        else:
            args = [e2e.HELPER, "slowjob", app.win(), server.url("/up1"), str(slow_window_ms)]
        return e2e.run_windows(args)

    def assert_nothing_installed(self, app, before):
        self.assertEqual(app.files(), before)
        self.assertFalse(app.path("ver.dat").exists())

    def assert_installed(self, app, release):
        self.assertEqual(app.files(), {**e2e.tree(release),
                                       "cfg.ini": app.path("cfg.ini").read_bytes()})

    def test_a_list_without_length_cut_by_a_reset_installs_nothing(self):
        with e2e.scratch_folder(self) as scratch:
            _, www, lines = self.serve(scratch)
            cut = len("".join(lines[:2]).encode("utf-8"))  # right after a line end
            with HostileServer(root=str(www)) as server:
                server.script({"/up1/filelist.dat": {"file": "up1/filelist.dat",
                                                     "framing": "close", "body_drop_at": cut}})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                before = app.files()
                code, output = self.run_job(app, server)
                targets = [r.target for r in server.requests("/up1/")]
            self.assertEqual(code, JOB_FILE_LIST_FAILED, output)
            self.assertEqual(targets, ["/up1/ver.dat", "/up1/filelist.dat"])
            self.assert_nothing_installed(app, before)

    def test_ver_dat_headers_dripping_fail_the_version_check(self):
        # One byte a second: the whole answer would come within the run's limit, every
        # receive within its time-out, and install; the slow-transfer rule (a short
        # window here) must end it first.
        with e2e.scratch_folder(self) as scratch:
            _, www, _ = self.serve(scratch)
            with HostileServer(root=str(www)) as server:
                server.script({"/up1/ver.dat": {"file": "up1/ver.dat", "piece": 1,
                                                "piece_delay_ms": 1000}})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                before = app.files()
                code, output = self.run_job(app, server, slow_window_ms=3000)
                targets = [r.target for r in server.requests("/up1/")]
            self.assertEqual(code, JOB_VERSION_CHECK_FAILED, output)
            self.assertEqual(targets, ["/up1/ver.dat"])
            self.assert_nothing_installed(app, before)

    def test_a_ver_dat_over_4096_bytes_fails_the_version_check(self):
        text = e2e.READER_NEXT_VERSION + " " * (MAX_VERSION_BYTES + 1 - len(e2e.READER_NEXT_VERSION))
        framings = {"length": {}, "close": {"framing": "close"}, "chunked": {"framing": "chunked"},
                    "announced 1 GiB": {"content_length": 1 << 30}}
        with e2e.scratch_folder(self) as scratch:
            _, www, _ = self.serve(scratch)
            for label, framing in framings.items():
                with self.subTest(label), HostileServer(root=str(www)) as server:
                    server.script({"/up1/ver.dat": {"body": text, **framing}})
                    app = e2e.Installation(scratch / label, server.url("/up1"), files=OLD_FILES)
                    before = app.files()
                    code, output = self.run_job(app, server)
                    targets = [r.target for r in server.requests("/up1/")]
                    self.assertEqual(code, JOB_VERSION_CHECK_FAILED, output)
                    self.assertEqual(targets, ["/up1/ver.dat"])
                    self.assert_nothing_installed(app, before)

    def test_early_hints_before_every_answer_still_install(self):
        with e2e.scratch_folder(self) as scratch:
            release, www, _ = self.serve(scratch)
            with HostileServer(root=str(www)) as server:
                server.script({}, defaults={"interim": [[103, 2]]})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                code, output = app.run()  # update.exe itself
                requests = len(server.requests("/up1/"))
            self.assertEqual(code, UPDATER_NORMAL_END, output)
            self.assertGreaterEqual(requests, 4)
            self.assert_installed(app, release)


if __name__ == "__main__":
    unittest.main()
