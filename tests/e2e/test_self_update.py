"""Self-update: the listed update.exe differs from the running one, so the old
updater stages everything and hands over to the new one in copy-only mode."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402
from test_nginx import NEW_FILES, OLD_FILES, ZIP_OPTIONS  # noqa: E402


class SelfUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def test_new_updater_waits_for_the_old_one_and_installs_everything_itself_included(self):
        with e2e.scratch_folder(self) as scratch:
            new_updater = e2e.another_updater_build(scratch / "update-next.exe")
            release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, NEW_FILES,
                                       updater=new_updater)
            www = scratch / "www"
            www.mkdir()
            e2e.publish(release, www / "up1", *ZIP_OPTIONS)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                rows = app.watch(also="update\\update.exe")
                uris = nginx.uris()
            roles = [row[0] for row in rows]
            self.assertEqual(roles, ["main", "also"], rows)
            (_, old_code, old_ms), (_, new_code, new_ms) = rows
            self.assertEqual(old_code, 2)
            self.assertEqual(new_code, 2)
            # The new one ended last: it waited for the old one before installing.
            self.assertGreater(new_ms, old_ms)
            # Every file is downloaded by the old updater exactly once.
            self.assertEqual(uris.count("/up1/update.exe"), 1)
            self.assertEqual(uris.count("/up1/filelist.dat"), 1)
            self.assertEqual(app.files(), {**e2e.tree(release),
                                           "cfg.ini": app.path("cfg.ini").read_bytes()})
            self.assertEqual(app.path("update.exe").read_bytes(), new_updater.read_bytes())
            self.assertFalse((app.update_dir / "update.exe").exists())
            self.assertTrue((app.update_dir / "downlist.dat").exists())
            downlist = [e[4] for e in e2e.read_list(app.update_dir / "downlist.dat")]
            self.assertIn("update.exe", downlist)


if __name__ == "__main__":
    unittest.main(verbosity=2)
