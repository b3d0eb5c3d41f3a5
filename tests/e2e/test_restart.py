"""A release that waits for the next start stays whole: a run before the restart
changes nothing (result 12) while the registered moves read the update folder, the
completion of a signed release keeps its rollback record through a restart and through
a crash before the record's move, and a list that names the updater's own move list
installs nothing. `wineboot -r` stands for the restart."""

import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402
from test_crash import reorder_list  # noqa: E402

UPDATE_E_LIST_READ = 2
UPDATE_E_SIGNATURE = 9
UPDATE_RESTART_PENDING = 12
CRASH_EXIT_CODE = 99
RECORD = "release.seq"

# The installation ships ver.dat, as the releases do: its version changes only with it.
OLD_FILES = {**e2e.SMALL_OLD_FILES, "ver.dat": b"1.0.0.1"}
NEW_FILES = {**e2e.SMALL_NEW_FILES, "ver.dat": b"1.0.0.2"}
NEXT_FILES = {**e2e.SMALL_NEW_FILES, "ver.dat": b"1.0.0.3",
              "data\\a.txt": b"the text of a in 1.0.0.3\n", "c\\new.txt": b"new in 1.0.0.3\n"}


def as_installed(app, release) -> dict:
    return {**e2e.tree(release), "cfg.ini": app.path("cfg.ini").read_bytes()}


def job(app, url, keys=None, moves=-1):
    """The engine's job on the installation; its result as the exit code."""
    code, output = e2e.run_windows([e2e.HELPER, "job", app.win(), url, "normal", str(moves)]
                                   + ([keys] if keys else []))
    return code


def restart():
    code, output = e2e.run_windows(["wineboot", "-r"])
    assert code == 0, output


class RestartPending(e2e.PendingRenamesTest):
    def publish(self, scratch, folder, files, reader=e2e.SAMPLE_READER_NEXT, key=None,
                sequence=None, first=()):
        release = e2e.make_release(scratch / f"release-{folder}", reader, files)
        www = scratch / folder
        www.mkdir()
        if key:
            e2e.publish_signed(release, www / "up1", key, "--zip", "*.bin",
                               "--sequence", str(sequence))
        else:
            e2e.publish(release, www / "up1", "--zip", "*.bin")
        if first:
            reorder_list(www, first=first)
        return release, www

    def publish_signed_pair(self, scratch):
        """A signed release with sequence 200 (in "www") and an older one of the same key
        with sequence 150 (in "www-older"): the public key, the release, both servers."""
        key, public = e2e.keygen(scratch / "keys")
        release, www = self.publish(scratch, "www", NEW_FILES, key=key, sequence=200)
        _, www_older = self.publish(scratch, "www-older", OLD_FILES,
                                    reader=e2e.SAMPLE_READER, key=key, sequence=150)
        return public, release, www, www_older

    def install_deferred(self, app):
        with self.reader_running(app):
            code, output = app.run()
            self.assertEqual(code, 2, output)
        sources = e2e.pending_renames()[0::2]
        self.assertTrue(sources and all("\\update\\" in s for s in sources), sources)

    def test_a_run_before_the_restart_leaves_the_waiting_release_whole(self):
        with e2e.scratch_folder(self) as scratch:
            release, www_release = self.publish(scratch, "www-2", NEW_FILES)
            www = scratch / "www"
            shutil.copytree(www_release, www)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                self.install_deferred(app)
                staged = e2e.tree(app.update_dir, skip_update=False)
                before = app.files()
                # 1.0.0.3 now: its ver.dat listed first, one file that never arrives right.
                shutil.rmtree(www / "up1")
                _, www_next = self.publish(scratch, "www-3", NEXT_FILES, first=["ver.dat"])
                shutil.copytree(www_next / "up1", www / "up1")
                (www / "up1" / "c" / "new.txt").write_bytes(b"not the listed bytes\n")
                nginx.clear_log()
                self.assertEqual(job(app, nginx.url()), UPDATE_RESTART_PENDING)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                self.assertEqual(nginx.uris(), [])
                self.assertEqual(e2e.tree(app.update_dir, skip_update=False), staged)
                self.assertEqual(app.files(), before)

                restart()
                self.assertEqual(e2e.pending_renames(), [])
                self.assertEqual(app.files(), as_installed(app, release))

                # A good 1.0.0.3 installs as usual after the restart.
                shutil.rmtree(www / "up1")
                shutil.copytree(www_next / "up1", www / "up1")
                code, output = app.run()
                self.assertEqual(code, 2, output)
                next_release = scratch / "release-www-3"
                self.assertEqual(app.files(), as_installed(app, next_release))

    def test_a_signed_release_waiting_for_the_restart_keeps_its_record(self):
        with e2e.scratch_folder(self) as scratch:
            public, release, www, www_older = self.publish_signed_pair(scratch)
            with e2e.Nginx(www, scratch) as nginx:
                url = nginx.url()
                app = e2e.Installation(scratch, url, files=OLD_FILES, release_keys=public)
                self.install_deferred(app)
            self.assertIn("!\\??\\" + app.win("update\\" + RECORD), e2e.pending_renames())
            staged = e2e.tree(app.update_dir, skip_update=False)
            # The server is down: the run before the restart changes nothing.
            self.assertEqual(job(app, url, public), UPDATE_RESTART_PENDING)
            code, output = app.run()
            self.assertEqual(code, 2, output)
            self.assertEqual(e2e.tree(app.update_dir, skip_update=False), staged)

            restart()
            self.assertEqual((app.update_dir / RECORD).read_bytes(), b"200\n")
            self.assertEqual(app.files(), as_installed(app, release))
            with e2e.Nginx(www_older, scratch) as nginx:
                app.set_server(nginx.url(), public)
                before = app.files()
                code, output = app.run()
                self.assertEqual(code, 2, output)
                self.assertEqual(job(app, nginx.url(), public), UPDATE_E_SIGNATURE)
            self.assertEqual(app.files(), before)
            self.assertEqual((app.update_dir / RECORD).read_bytes(), b"200\n")

    def test_a_crash_at_any_move_of_a_signed_release_keeps_its_record(self):
        with e2e.scratch_folder(self) as scratch:
            public, release, www, www_older = self.publish_signed_pair(scratch)
            with e2e.Nginx(www, scratch) as nginx:
                url = nginx.url()
                moves = 0
                while True:
                    app = e2e.Installation(scratch, url, files=OLD_FILES, release_keys=public,
                                           name=f"Qv Reader {moves}")
                    code = job(app, url, public, moves)
                    if code != CRASH_EXIT_CODE:
                        self.assertEqual(code, 0)
                        break
                    files = len(e2e.read_list(app.update_dir / "downlist.dat"))
                    if moves == files:
                        # Cut between the version file's move and the record's.
                        self.assertEqual(app.path("ver.dat").read_bytes(), b"1.0.0.2")
                        self.assertFalse((app.update_dir / RECORD).exists())
                    code, output = app.run()
                    self.assertEqual(code, 2, output)
                    self.assertEqual(app.files(), as_installed(app, release), moves)
                    self.assertEqual((app.update_dir / RECORD).read_bytes(), b"200\n", moves)
                    moves += 1
                self.assertEqual(moves, files + 1)
            with e2e.Nginx(www_older, scratch) as nginx:
                app = e2e.Installation.existing(scratch / "Qv Reader 0")
                app.set_server(nginx.url(), public)
                before = app.files()
                self.assertEqual(job(app, nginx.url(), public), UPDATE_E_SIGNATURE)
                self.assertEqual(app.files(), before)

    def test_a_list_that_names_the_move_list_installs_nothing(self):
        with e2e.scratch_folder(self) as scratch:
            _, www = self.publish(scratch, "www", NEW_FILES)
            # A move list of its own, served as a release file at the top level.
            planted = e2e.list_line(e2e.crc32(b"planted\n"), e2e.crc32(b"planted\n"), False,
                                    "same.txt") + "\n"
            (www / "up1" / "downlist.dat").write_bytes(planted.encode())
            server_list = www / "up1" / "filelist.dat"
            crc = e2e.crc32(planted.encode())
            server_list.write_bytes(server_list.read_bytes()
                                    + (e2e.list_line(crc, crc, False, "downlist.dat")
                                       + "\n").encode())
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                before = app.files()
                code, output = app.run()
                self.assertEqual(code, 2, output)
                self.assertEqual(app.files(), before)
                self.assertEqual(job(app, nginx.url()), UPDATE_E_LIST_READ)
                self.assertEqual(app.files(), before)
                self.assertFalse([u for u in nginx.uris() if not u.endswith(".dat")])
            self.assertFalse((app.update_dir / "downlist.dat").exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
