"""A file in use: nothing is replaced at once, every move is registered for the
next start, and a restart of the Wine prefix carries them out."""

import contextlib
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402
from test_nginx import CHANGED, NEW_FILES, OLD_FILES, ZIP_OPTIONS  # noqa: E402


class FileInUse(e2e.PendingRenamesTest):
    @contextlib.contextmanager
    def file_held_open(self, app, scratch, name):
        """Another program reads the file and does not share writing."""
        ready = scratch / "held"
        release_flag = scratch / "release-hold"
        holder = e2e.start_windows([e2e.HELPER, "hold", app.win(name), e2e.win_path(ready),
                                    e2e.win_path(release_flag)])
        try:
            self.assertTrue(e2e.wait_until(ready.exists, 60), "the holder did not start")
            yield
        finally:
            release_flag.write_bytes(b"")
            e2e.finish(holder)

    def check_deferred_installation(self, scratch, in_use):
        release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, NEW_FILES)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1", *ZIP_OPTIONS)
        with e2e.Nginx(www, scratch) as nginx:
            app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
            before = app.files()
            with in_use(app):
                code, output = app.run()
                self.assertEqual(code, 2, output)
        # Nothing replaced, every changed file staged and registered.
        self.assertEqual(app.files(), before)
        renames = e2e.pending_renames()
        pairs = dict(zip(renames[0::2], renames[1::2]))
        for name in CHANGED:
            source = "\\??\\" + app.win("update\\" + name)
            self.assertIn(source, pairs, renames)
            self.assertEqual(pairs[source], "!\\??\\" + app.win(name))
            self.assertTrue(app.path("update\\" + name).exists())
        self.assertEqual(len(pairs), len(CHANGED))

        # The "reboot": wineboot carries out the registered renames.
        code, output = e2e.run_windows(["wineboot", "-r"])
        self.assertEqual(code, 0, output)
        self.assertEqual(e2e.pending_renames(), [])
        self.assertEqual(app.files(), {**e2e.tree(release),
                                       "cfg.ini": app.path("cfg.ini").read_bytes()})
        for name in CHANGED:
            self.assertFalse(app.path("update\\" + name).exists())

    def test_file_held_open_defers_every_move_to_the_next_start(self):
        with e2e.scratch_folder(self) as scratch:
            self.check_deferred_installation(
                scratch, lambda app: self.file_held_open(app, scratch, "data\\a.txt"))

    def test_running_reader_defers_every_move_to_the_next_start(self):
        with e2e.scratch_folder(self) as scratch:
            self.check_deferred_installation(
                scratch, lambda app: self.reader_running(app))


if __name__ == "__main__":
    unittest.main(verbosity=2)
