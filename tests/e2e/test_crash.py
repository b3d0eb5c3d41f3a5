"""Installations cut short: the updater's process ends as a crash or a power cut would,
after any number of its moves, during the downloads, or during the copy-only
installation of a self-update; the next normal run of the real update.exe must leave
exactly the release installed."""

import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402

CRASH_EXIT_CODE = 99  # e2e_helper job ends with this code at the planned move

OLD_FILES = e2e.SMALL_OLD_FILES
NEW_FILES = e2e.SMALL_NEW_FILES


def reorder_list(www, first=(), last=()):
    """Rewrites the served filelist.dat with the named entries first or last, as a
    server may list them in any order."""
    path = Path(www, "up1", "filelist.dat")
    lines = [line for line in path.read_bytes().decode("utf-8").split("\n") if line]
    name = lambda line: line.split(",", 4)[4]  # noqa: E731
    head = [line for n in first for line in lines if name(line) == n]
    tail = [line for n in last for line in lines if name(line) == n]
    middle = [line for line in lines if line not in head and line not in tail]
    assert len(head) == len(first) and len(tail) == len(last), lines
    path.write_bytes(("\n".join(head + middle + tail) + "\n").encode("utf-8"))


def installed_version(app) -> str:
    """What the next run compares with the server: ver.dat's text, else the reader."""
    ver = app.path("ver.dat")
    if ver.exists():
        return ver.read_bytes().decode("utf-8")
    reader = app.path("qvreader.exe").read_bytes()
    return "next" if reader == e2e.SAMPLE_READER_NEXT.read_bytes() else "old"


class CrashedInstallation(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def job(self, app, url, mode, moves):
        return e2e.run_windows([e2e.HELPER, "job", app.win(), url, mode, str(moves)])

    def serve(self, scratch, files, first=(), last=(), updater=e2e.UPDATER):
        release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, files,
                                   updater=updater)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1", "--zip", "*.bin")
        reorder_list(www, first, last)
        return release, www

    @staticmethod
    def as_installed(app, release) -> dict:
        return {**e2e.tree(release), "cfg.ini": app.path("cfg.ini").read_bytes()}

    def assert_release_installed(self, app, release):
        self.assertEqual(app.files(), self.as_installed(app, release))

    def test_a_crash_after_any_move_is_completed_by_the_next_run(self):
        # The version file first in the server's list: moved first, it would tell the
        # next run that everything is installed.
        variants = {
            "ver.dat": ({**NEW_FILES, "ver.dat": b"1.0.0.2"}, {**OLD_FILES, "ver.dat": b"1.0.0.1"}),
            "qvreader.exe": (NEW_FILES, OLD_FILES),
        }
        for version_file, (new_files, old_files) in variants.items():
            with self.subTest(version_file=version_file), e2e.scratch_folder(self) as scratch:
                release, www = self.serve(scratch, new_files, first=[version_file])
                changed = 5 if version_file == "ver.dat" else 4
                with e2e.Nginx(www, scratch) as nginx:
                    for moves in range(changed):
                        app = e2e.Installation(scratch, nginx.url(), files=old_files,
                                               name=f"Qv Reader {moves}")
                        before = installed_version(app)
                        code, output = self.job(app, nginx.url(), "normal", moves)
                        self.assertEqual(code, CRASH_EXIT_CODE, output)
                        # The version the next run compares is still the old one.
                        self.assertEqual(installed_version(app), before, moves)
                        self.assertNotEqual(app.files(), self.as_installed(app, release), moves)
                        code, output = app.run()
                        self.assertEqual(code, 2, output)
                        self.assert_release_installed(app, release)
                        # The rest came from the staged files, not from the server again.
                        downloads = [u for u in nginx.uris() if not u.endswith(".dat")]
                        self.assertEqual(len(downloads), changed - (version_file == "ver.dat"),
                                         (moves, downloads))
                        nginx.clear_log()

    def test_a_crash_during_the_downloads_keeps_what_was_staged(self):
        files = {**NEW_FILES, "z-slow.dat": bytes(range(256)) * 8192}  # 2 MiB, listed last
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve(scratch, files, last=["z-slow.dat"])
            slow = "location = /up1/z-slow.dat { limit_rate 64k; }"
            with e2e.Nginx(www, scratch, extra_locations=slow) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                process = app.start()
                staged = [app.update_dir / "data" / "a.txt", app.update_dir / "b.bin",
                          app.update_dir / "c" / "new.txt", app.update_dir / "qvreader.exe"]
                sizes = {p: release.joinpath(*p.relative_to(app.update_dir).parts).stat().st_size
                         for p in staged}
                all_staged = e2e.wait_until(
                    lambda: all(p.exists() and p.stat().st_size == n for p, n in sizes.items()), 60)
                time.sleep(0.3)  # into the slow download
                e2e.finish(process, kill=True)
                self.assertTrue(all_staged, list(app.update_dir.rglob("*")))
                # Cut off: at most part of it is there, which the next run cannot mistake
                # for the file.
                slow = app.update_dir / "z-slow.dat"
                self.assertTrue(not slow.exists() or slow.stat().st_size < len(files["z-slow.dat"]))
            self.assertNotEqual(app.files(), self.as_installed(app, release))
            with e2e.Nginx(www, scratch / "second") as nginx:
                app.set_server(nginx.url())
                code, output = app.run()
                self.assertEqual(code, 2, output)
                uris = nginx.uris()
            self.assertEqual(sorted(uris), ["/up1/filelist.dat", "/up1/ver.dat", "/up1/z-slow.dat"])
            self.assert_release_installed(app, release)

    def test_a_crash_during_the_copy_only_installation_is_completed_updater_included(self):
        files = {"data\\a.txt": NEW_FILES["data\\a.txt"], "ver.dat": b"1.0.0.2"}
        old = {"data\\a.txt": OLD_FILES["data\\a.txt"], "ver.dat": b"1.0.0.1"}
        with e2e.scratch_folder(self) as scratch:
            new_updater = e2e.another_updater_build(scratch / "update-next.exe")
            new_updater_bytes = new_updater.read_bytes()
            release, www = self.serve(scratch, files, first=["ver.dat", "qvreader.exe"],
                                      updater=new_updater)
            with e2e.Nginx(www, scratch) as nginx:
                for moves in range(4):  # data\a.txt, update.exe, qvreader.exe, ver.dat
                    app = e2e.Installation(scratch, nginx.url(), files=old,
                                           name=f"Qv Reader {moves}")
                    code, output = self.job(app, nginx.url(), "stage", -1)
                    self.assertEqual(code, 0, output)
                    self.assertTrue((app.update_dir / "update.exe").exists())
                    code, output = self.job(app, nginx.url(), "copyonly", moves)
                    self.assertEqual(code, CRASH_EXIT_CODE, output)
                    self.assertEqual(app.path("ver.dat").read_bytes(), b"1.0.0.1")
                    # A normal run of whichever updater is installed now finishes it; the
                    # old one hands over to the staged one again.
                    rows = app.watch(also="update\\update.exe")
                    self.assertTrue(all(code == 2 for _, code, _ in rows), rows)
                    self.assert_release_installed(app, release)
                    self.assertEqual(app.path("update.exe").read_bytes(), new_updater_bytes)


if __name__ == "__main__":
    unittest.main(verbosity=2)
