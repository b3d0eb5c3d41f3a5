"""The real update.exe under Wine against a release served by nginx on 127.0.0.1."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402

# The installed release and its successor, apart from qvreader.exe and update.exe.
OLD_FILES = {
    "same.txt": b"this file does not change\n" * 20,
    "data\\a.txt": b"old text of a\n",
    "big.dat": bytes((i * 7) & 0xFF for i in range(300_000)),
}
NEW_FILES = {
    "same.txt": OLD_FILES["same.txt"],
    "data\\a.txt": b"new text of a, a little longer\n",
    "plugins\\new\\n.dll": b"MZ a new plugin in a new subfolder" + bytes(range(256)),
    "big.dat": bytes((i * 13) & 0xFF for i in range(400_000)),
    "docs\\readme.txt": b"zipped and new\r\n" * 100,
}
ZIP_OPTIONS = ("--zip", "*.dat", "--zip", "docs\\*")
CHANGED = ["qvreader.exe", "data\\a.txt", "plugins\\new\\n.dll", "big.dat", "docs\\readme.txt"]


class NginxUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve_next_release(self, scratch, files=NEW_FILES, reader=e2e.SAMPLE_READER_NEXT):
        release = e2e.make_release(scratch / "release", reader, files)
        www = scratch / "www"
        www.mkdir()
        e2e.publish(release, www / "up1", *ZIP_OPTIONS)
        return release, www

    def assert_installed(self, installation, release):
        self.assertEqual(installation.files(), {**e2e.tree(release), "cfg.ini":
                                                installation.path("cfg.ini").read_bytes()})

    def test_equal_versions_fetch_ver_dat_only(self):
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve_next_release(scratch)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), reader=e2e.SAMPLE_READER_NEXT,
                                       files=OLD_FILES)
                before = app.files()
                code, output = app.run()
                self.assertEqual(code, 2, output)
                self.assertEqual(nginx.requests()[0][:2], ("/up1/ver.dat", 200))
                self.assertEqual(nginx.uris(), ["/up1/ver.dat"])
            self.assertFalse(app.update_dir.exists())
            self.assertEqual(app.files(), before)

    def test_missing_ver_dat_is_no_update(self):
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve_next_release(scratch)
            (www / "up1" / "ver.dat").unlink()
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                before = app.files()
                code, output = app.run()
                self.assertEqual(code, 2, output)
                self.assertEqual([r[:2] for r in nginx.requests()], [("/up1/ver.dat", 404)])
            self.assertFalse(app.update_dir.exists())
            self.assertEqual(app.files(), before)

    def test_release_with_changed_new_and_zipped_files_is_installed(self):
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve_next_release(scratch)
            server_list = (www / "up1" / "filelist.dat").read_bytes()
            zipped = {e[4] for e in e2e.read_list(www / "up1" / "filelist.dat") if e[3]}
            self.assertEqual(zipped, {"big.dat", "docs\\readme.txt"})
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                uris = nginx.uris()
            self.assert_installed(app, release)
            # Asked once each: the version, the list and every changed file, by its
            # plain name even when zipped; nothing unchanged.
            expected = ["/up1/ver.dat", "/up1/filelist.dat"] + [
                "/up1/" + name.replace("\\", "/") for name in CHANGED]
            self.assertEqual(sorted(uris), sorted(expected))
            self.assertEqual(uris[:2], ["/up1/ver.dat", "/up1/filelist.dat"])
            # downlist.dat: exactly the changed lines of the server's list, in its
            # order, LF only.
            lines = server_list.decode("utf-8").split("\n")
            wanted = [line for line in lines if line and line.split(",", 4)[4] in CHANGED]
            self.assertEqual(len(wanted), len(CHANGED))
            self.assertEqual((app.update_dir / "downlist.dat").read_bytes(),
                             ("\n".join(wanted) + "\n").encode("utf-8"))
            self.assertEqual((app.update_dir / "filelist.dat").read_bytes(), server_list)
            # Only the two list files stay: no archive, no staged file.
            left = sorted(str(p.relative_to(app.update_dir)) for p in app.update_dir.rglob("*")
                          if p.is_file())
            self.assertEqual(left, ["downlist.dat", "filelist.dat"])

    def test_staged_file_of_an_interrupted_run_is_reused(self):
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve_next_release(scratch)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                # What an earlier run left: one plain file and one extracted file.
                e2e.write_tree(app.update_dir, {"data\\a.txt": NEW_FILES["data\\a.txt"],
                                                "big.dat": NEW_FILES["big.dat"]})
                code, output = app.run()
                self.assertEqual(code, 2, output)
                uris = nginx.uris()
            self.assertNotIn("/up1/data/a.txt", uris)
            self.assertNotIn("/up1/big.dat", uris)
            self.assertIn("/up1/plugins/new/n.dll", uris)
            self.assert_installed(app, release)

    def test_second_updater_does_nothing_while_the_first_runs(self):
        with e2e.scratch_folder(self) as scratch:
            files = dict(NEW_FILES)
            files["slow\\video.bin"] = bytes(range(256)) * 4096  # 1 MiB
            release, www = self.serve_next_release(scratch, files=files)
            # The first updater spends about eight seconds on this download.
            slow = "location /up1/slow/ { limit_rate 128k; }"
            with e2e.Nginx(www, scratch, extra_locations=slow) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                first = app.start()
                try:
                    self.assertTrue(e2e.wait_until(
                        lambda: (app.update_dir / "downlist.dat").exists(), 60))
                    code, output = app.run()
                    self.assertEqual(code, 2, output)
                    self.assertIsNone(first.poll(), "the first updater ended too early")
                finally:
                    first_code = e2e.finish(first)
                self.assertEqual(first_code, 2)
                uris = nginx.uris()
            self.assertEqual(uris.count("/up1/ver.dat"), 1)
            self.assertEqual(uris.count("/up1/slow/video.bin"), 1)
            self.assert_installed(app, release)

    def test_hostile_file_list_writes_nothing_outside_the_installation(self):
        with e2e.scratch_folder(self) as scratch:
            release, www = self.serve_next_release(scratch)
            payload = b"must never be written"
            crc = e2e.crc32(payload)
            escaping = [
                "..\\evil1.txt", "data\\..\\..\\evil2.txt", "..\\..\\evil3.txt",
                "\\evil4.txt", "/evil5.txt", e2e.win_path(scratch / "evil6.txt"),
                "C:evil7.txt", ". .\\evil8.txt", "data\\.. \\..\\evil9.txt",
                "update\\..\\..\\evil10.txt", "\\\\127.0.0.1\\share\\evil11.txt",
                "qvreader.exe:stream",
            ]
            server_list = www / "up1" / "filelist.dat"
            lines = server_list.read_bytes().decode("utf-8").split("\n")
            hostile = [e2e.list_line(crc, crc, False, name) for name in escaping]
            server_list.write_bytes("\n".join(hostile + lines).encode("utf-8"))
            # Whatever URL such a name becomes, the server has the payload there.
            for i in range(1, 12):
                for where in (www, www / "up1", scratch):
                    (where / f"evil{i}.txt").write_bytes(payload)
            before_outside = e2e.tree(scratch, skip_update=False)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                uris = nginx.uris()
            self.assertFalse(any("evil" in uri for uri in uris), uris)
            # The good lines are still installed; nothing new outside the installation.
            self.assert_installed(app, release)
            after_outside = {name: data for name, data in
                             e2e.tree(scratch, skip_update=False).items()
                             if not name.startswith(("Qv Reader\\", "nginx\\"))}
            before_outside = {name: data for name, data in before_outside.items()
                              if not name.startswith("nginx\\")}
            self.assertEqual(after_outside, before_outside)
            drive_c = Path(e2e.wine_environment()["WINEPREFIX"]) / "drive_c"
            self.assertFalse(list(drive_c.glob("evil*")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
