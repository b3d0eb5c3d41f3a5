"""The real update.exe under Wine against the hostile test server: how the downloads
use their connections, resume after a drop, fail among parallel transfers, stop in the
middle of a large slow file, and give up on a server that only drips."""

import random
import sys
import time
import unittest
import zlib
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer, pattern_bytes  # noqa: E402

MIB = 1024 * 1024
JOB_FILE_DOWNLOAD_FAILED = 4  # the job's result for a file without its CRC after 3 attempts
ATTEMPTS = 3
# The pass's own connection and at most 6 transfers at once, each on one connection.
MAX_CONNECTIONS = 1 + 6
OLD_FILES = {"data\\a.txt": b"old text of a\n"}


def served(name):
    return "/up1/" + name.replace("\\", "/")


def noise(size, seed):
    """Bytes without a period: a range from the wrong offset never looks right."""
    return random.Random(seed).randbytes(size)


class Transfers(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch, files):
        """Publishes the next release (nothing zipped); returns the release folder, the
        server's root and the served list's entries."""
        release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, files)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1")
        entries = e2e.read_list(www / "up1" / "filelist.dat")
        self.assertFalse([e[4] for e in entries if e[3]], "nothing may be zipped")
        return release, www, entries

    def assert_installed(self, app, release):
        self.assertEqual(app.files(), {**e2e.tree(release),
                                       "cfg.ini": app.path("cfg.ini").read_bytes()})

    @staticmethod
    def download_list(installed, entries):
        """The names of the entries whose installed CRC (0 for a missing file) is not
        the listed one, in order."""
        return [e[4] for e in entries
                if (e2e.crc32(installed[e[4]]) if e[4] in installed else 0) != e[0]]

    def assert_nothing_installed(self, app, before):
        self.assertEqual(app.files(), before)
        self.assertEqual(app.path("qvreader.exe").read_bytes(), e2e.SAMPLE_READER.read_bytes())

    # ------------------------------------------------------------ resume

    def run_dropped_at_half(self, scratch, next_answer):
        """A 4 MiB file whose first answer (which offers ranges) ends at half, answered
        next by `next_answer`. Returns (installation, release, requests for it)."""
        name = "books\\book.bin"
        release, www, _ = self.serve(scratch, {**OLD_FILES, name: noise(4 * MIB, 1)})
        half = {"file": served(name)[1:], "ranges": True, "drop_after": 2 * MIB}
        with HostileServer(root=str(www)) as server:
            server.script({served(name): [half, {"file": served(name)[1:], **next_answer}]})
            app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
            code, output = app.run()
            self.assertEqual(code, 2, output)
            requests = server.requests(served(name))
        self.assertIsNone(requests[0].header("Range"))
        # Exactly the bytes that arrived before the drop are skipped.
        self.assertGreaterEqual(len(requests), 2)
        self.assertEqual(requests[1].header("Range"), "bytes=%d-" % (2 * MIB))
        return app, release, requests

    def test_dropped_download_resumes_with_exactly_the_rest(self):
        with e2e.scratch_folder(self) as scratch:
            app, release, requests = self.run_dropped_at_half(scratch, {"ranges": True})
            self.assertEqual(len(requests), 2)
            self.assert_installed(app, release)

    def test_resume_ignored_or_answered_with_a_wrong_range_still_installs(self):
        variants = {
            "ignores Range": {},  # 200 and the whole file
            "wrong Content-Range": {"content_range": "bytes 0-%d/%d" % (2 * MIB - 1, 4 * MIB)},
        }
        for label, answer in variants.items():
            with self.subTest(label), e2e.scratch_folder(self) as scratch:
                app, release, requests = self.run_dropped_at_half(scratch, answer)
                self.assertLessEqual(len(requests), ATTEMPTS)
                self.assert_installed(app, release)

    # ------------------------------------------------------------ connections

    def test_requests_share_connections_and_a_server_closing_after_each_still_works(self):
        files = {**OLD_FILES, **{"pages\\p%02d.txt" % i: noise(20_000 + i, 100 + i)
                                 for i in range(20)}}
        for closing in (False, True):
            with self.subTest(closes_after_each=closing), e2e.scratch_folder(self) as scratch:
                release, www, entries = self.serve(scratch, files)
                with HostileServer(root=str(www)) as server:
                    server.script({}, defaults={"close_after": closing})
                    app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                    code, output = app.run()
                    self.assertEqual(code, 2, output)
                    requests = server.requests("/up1/")
                self.assert_installed(app, release)
                connection = {r.target: r.connection for r in requests}
                per_connection = Counter(r.connection for r in requests)
                if closing:
                    self.assertEqual(max(per_connection.values()), 1, per_connection)
                    continue
                self.assertEqual(connection[served("ver.dat")], connection[served("filelist.dat")])
                downloads = Counter(connection[served(e[4])] for e in entries
                                    if served(e[4]) in connection)
                self.assertGreaterEqual(max(downloads.values()), 2, downloads)
                self.assertLessEqual(len(per_connection), MAX_CONNECTIONS, per_connection)

    # ------------------------------------------------------------ parallel failure

    def test_a_failing_entry_among_parallel_transfers_ends_as_one_at_a_time_would(self):
        files = {**OLD_FILES, **{"parts\\f%02d.bin" % i: noise(300_000, 200 + i)
                                 for i in range(10)}}
        with e2e.scratch_folder(self) as scratch:
            release, www, entries = self.serve(scratch, files)
            names = [e[4] for e in entries]
            failing = [n for n in names if n.startswith("parts\\")][3]
            later = names[names.index(failing) + 1:]
            self.assertGreaterEqual(len(later), 3)
            # Slow as well as wrong, so that transfers started beside it finish first.
            wrong = {"file": served(failing)[1:], "corrupt": True, "delay_ms": 700}
            with HostileServer(root=str(www)) as server:
                server.script({served(failing): wrong})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                before = app.files()
                code, output = e2e.run_windows([e2e.HELPER, "job", app.win(), server.url("/up1"),
                                                "normal", "-1"])
                targets = [r.target for r in server.requests("/up1/")]
            self.assertEqual(code, JOB_FILE_DOWNLOAD_FAILED, output)
            self.assertEqual(targets.count(served(failing)), ATTEMPTS)
            self.assert_nothing_installed(app, before)
            staged_later = [n for n in later if app.path("update\\" + n).exists()]
            self.assertEqual(staged_later, [], targets)

    # ------------------------------------------------------------ stop

    def test_close_during_a_large_slow_download_ends_within_two_seconds(self):
        name = "huge.bin"
        size = 256 * MIB
        with e2e.scratch_folder(self) as scratch:
            _, www, _ = self.serve(scratch, {**OLD_FILES, "small.txt": b"small\n"})
            # Generated as it is served, never stored: listed with the CRC of its bytes.
            crc = 0
            for offset in range(0, size, 4 * MIB):
                crc = zlib.crc32(pattern_bytes(4 * MIB, offset), crc)
            served_list = www / "up1" / "filelist.dat"
            served_list.write_bytes(served_list.read_bytes()
                                    + (e2e.list_line(crc, crc, False, name) + "\n").encode())
            entries = e2e.read_list(served_list)
            with HostileServer(root=str(www)) as server:
                server.script({served(name): {"body_size": size, "rate": 4 * MIB}})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                before = app.files()
                process = app.start()
                try:
                    self.assertTrue(e2e.wait_until(lambda: server.requests(served(name)), 60))
                    time.sleep(1.0)  # well into the body: about 4 MiB of 256
                    code, output = e2e.run_windows([e2e.HELPER, "close", app.win("update.exe")])
                    self.assertEqual(code, 0, output)
                    closed = time.monotonic()
                    ended = e2e.wait_until(lambda: process.poll() is not None, 10, step=0.01)
                    elapsed = time.monotonic() - closed
                finally:
                    # Left running, it would finish the 256 MiB and install them.
                    code = e2e.finish(process, kill=process.poll() is None)
                self.assertTrue(ended, "still running 10 s after WM_CLOSE")
                self.assertLess(elapsed, 2.0)
                self.assertEqual(code, 2)
                self.assertEqual(len(server.requests(served(name))), 1)
            self.assert_nothing_installed(app, before)
            # The lists stay for the next run.
            self.assertEqual(app.path("update\\filelist.dat").read_bytes(),
                             served_list.read_bytes())
            self.assertEqual([e[4] for e in e2e.read_list(app.update_dir / "downlist.dat")],
                             self.download_list(before, entries))
            self.assertIn(name, self.download_list(before, entries))

    # ------------------------------------------------------------ low speed

    def test_a_dripping_server_fails_each_attempt_after_the_low_speed_window(self):
        name = "slow.bin"
        window_s = 3
        with e2e.scratch_folder(self) as scratch:
            _, www, _ = self.serve(scratch, {**OLD_FILES, name: noise(16_384, 3)})
            with HostileServer(root=str(www)) as server:
                # About 100 bytes a second, far under 1 KiB/s: 16 KiB would take minutes.
                server.script({served(name): {"file": "up1/" + name, "drip": [10, 100]}})
                app = e2e.Installation(scratch, server.url("/up1"), files=OLD_FILES)
                started = time.monotonic()
                code, output = e2e.run_windows(
                    [e2e.HELPER, "slowjob", app.win(), server.url("/up1"), str(window_s * 1000)],
                    timeout=ATTEMPTS * window_s + 60)
                elapsed = time.monotonic() - started
                requests = server.requests(served(name))
        self.assertEqual(code, JOB_FILE_DOWNLOAD_FAILED, output)
        self.assertEqual(len(requests), ATTEMPTS)
        # Each attempt lasts the whole window, and ends soon after it.
        self.assertGreaterEqual(elapsed, ATTEMPTS * window_s)
        self.assertLess(elapsed, ATTEMPTS * (window_s + 3) + 15)

if __name__ == "__main__":
    unittest.main(verbosity=2)
