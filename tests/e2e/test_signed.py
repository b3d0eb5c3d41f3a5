"""Signed releases end to end: the real publisher signs, the real update.exe under Wine
installs a signed release from nginx on 127.0.0.1 only when release.dat verifies with
a key of its cfg.ini, and installs nothing of a release that an attacker changed in
any of the ways the signature must catch. The job's result (9 for a refusal) is read
through e2e_helper's job mode, which runs the same engine on a copy of the same
installation."""

import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402

UPDATE_OK = 0
UPDATE_E_SIGNATURE = 9
RECORD = "release.seq"  # the sequence number of the release last installed

OLD_FILES = e2e.SMALL_OLD_FILES
NEW_FILES = e2e.SMALL_NEW_FILES


def utc_text(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


class SignedUpdate(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch, key, *options, files=NEW_FILES, reader=e2e.SAMPLE_READER_NEXT,
              updater=e2e.UPDATER, folder="www"):
        release = e2e.make_release(scratch / f"release-{folder}", reader, files, updater=updater)
        www = scratch / folder
        www.mkdir()
        e2e.publish_signed(release, www / "up1", key, "--zip", "*.bin", *options)
        return release, www

    def installations(self, scratch, url, keys, files=OLD_FILES):
        """Two like installations: one for update.exe, one for the job's result."""
        return (e2e.Installation(scratch, url, files=files, release_keys=keys),
                e2e.Installation(scratch, url, files=files, release_keys=keys,
                                 name="Qv Reader job"))

    def job_result(self, app, url, keys):
        code, output = e2e.run_windows([e2e.HELPER, "job", app.win(), url, "normal", "-1", keys])
        return code

    @staticmethod
    def as_installed(app, release) -> dict:
        return {**e2e.tree(release), "cfg.ini": app.path("cfg.ini").read_bytes()}

    def assert_refused(self, app, job_app, url, keys, before):
        code, output = app.run()
        self.assertEqual(code, 2, output)
        self.assertEqual(app.files(), before)
        self.assertFalse((app.update_dir / RECORD).exists())
        self.assertEqual(self.job_result(job_app, url, keys), UPDATE_E_SIGNATURE)
        self.assertEqual(job_app.files(), before)

    def test_a_signed_release_installs_and_records_its_sequence(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key, "--sequence", "1000")
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES,
                                       release_keys=public)
                code, output = app.run()
                self.assertEqual(code, 2, output)
                uris = nginx.uris()
            self.assertEqual(app.files(), self.as_installed(app, release))
            self.assertEqual((app.update_dir / RECORD).read_bytes(), b"1000\n")
            # release.dat right after ver.dat, before anything it vouches for; then the
            # patches' description (none served here: full files).
            self.assertEqual(uris[:4], ["/up1/ver.dat", "/up1/release.dat", "/up1/delta.dat",
                                        "/up1/filelist.dat"])

    def test_the_second_configured_key_works(self):
        with e2e.scratch_folder(self) as scratch:
            _, old_public = e2e.keygen(scratch / "keys", "old")
            new_key, new_public = e2e.keygen(scratch / "keys", "new")
            release, www = self.serve(scratch, new_key)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES,
                                       release_keys=old_public + " " + new_public)
                code, output = app.run()
                self.assertEqual(code, 2, output)
            self.assertEqual(app.files(), self.as_installed(app, release))

    def test_each_attack_installs_nothing_and_gives_9(self):
        def change_file_and_its_crcs(www, key_file):
            # What an attacker does: other bytes, and the list's CRCs made to match.
            path = www / "up1" / "data" / "a.txt"
            path.write_bytes(b"MZ not the vendor's file")
            crc = e2e.crc32(path.read_bytes())
            lines = (www / "up1" / "filelist.dat").read_bytes().decode().split("\n")
            lines = [e2e.list_line(crc, crc, False, "data\\a.txt") if line.endswith(",data\\a.txt")
                     else line for line in lines]
            (www / "up1" / "filelist.dat").write_bytes("\n".join(lines).encode())

        def same_crc_other_bytes(www, key_file):
            # Passes the CRC-32 check and leaves filelist.dat alone: only SHA-256 sees it.
            path = www / "up1" / "data" / "a.txt"
            original = path.read_bytes()
            path.write_bytes(e2e.forge_crc32(b"X" * 8 + original[8:], e2e.crc32(original), 0))

        def add_list_line(www, key_file):
            path = www / "up1" / "filelist.dat"
            (www / "up1" / "evil.dll").write_bytes(b"MZ evil")
            crc = e2e.crc32(b"MZ evil")
            path.write_bytes(path.read_bytes() + e2e.list_line(crc, crc, False,
                                                                 "evil.dll").encode() + b"\n")

        def change_ver_dat(www, key_file):
            (www / "up1" / "ver.dat").write_bytes(b"1.0.0.9")

        def remove_release_dat(www, key_file):
            (www / "up1" / "release.dat").unlink()

        def sign_with_another_key(www, key_file):
            other, _ = e2e.keygen(www.parent / "keys", "stranger")
            shutil.rmtree(www / "up1")
            e2e.publish_signed(www.parent / "release-www", www / "up1", other, "--zip", "*.bin")

        attacks = [change_file_and_its_crcs, same_crc_other_bytes, add_list_line,
                   change_ver_dat, remove_release_dat, sign_with_another_key]
        for attack in attacks:
            with self.subTest(attack=attack.__name__), e2e.scratch_folder(self) as scratch:
                key, public = e2e.keygen(scratch / "keys")
                release, www = self.serve(scratch, key)
                attack(www, key)
                with e2e.Nginx(www, scratch) as nginx:
                    app, job_app = self.installations(scratch, nginx.url(), public)
                    before = app.files()
                    self.assert_refused(app, job_app, nginx.url(), public, before)
                # What failed its check is not left staged.
                for name in ("data\\a.txt", "evil.dll"):
                    self.assertFalse(app.update_dir.joinpath(*name.split("\\")).exists(), name)

    def test_an_older_release_after_a_newer_one_is_refused(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            newer, www_newer = self.serve(scratch, key, "--sequence", "200", folder="newer")
            older, www_older = self.serve(scratch, key, "--sequence", "100", folder="older",
                                          reader=e2e.SAMPLE_READER, files=OLD_FILES)
            www = scratch / "www"
            shutil.copytree(www_newer, www)
            with e2e.Nginx(www, scratch) as nginx:
                app, job_app = self.installations(scratch, nginx.url(), public)
                for installation in (app, job_app):
                    code, output = installation.run()
                    self.assertEqual(code, 2, output)
                    self.assertEqual(installation.files(), self.as_installed(installation, newer))
                # The server now answers the older release, validly signed.
                shutil.rmtree(www / "up1")
                shutil.copytree(www_older / "up1", www / "up1")
                before = app.files()
                self.assert_refused_after_install(app, job_app, nginx.url(), public, before)
            self.assertEqual((app.update_dir / RECORD).read_bytes(), b"200\n")

    def assert_refused_after_install(self, app, job_app, url, keys, before):
        code, output = app.run()
        self.assertEqual(code, 2, output)
        self.assertEqual(app.files(), before)
        self.assertEqual(self.job_result(job_app, url, keys), UPDATE_E_SIGNATURE)
        self.assertEqual(job_app.files(), before)

    def test_an_expired_release_is_refused(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            expires = time.time() + 3
            release, www = self.serve(scratch, key, "--expires", utc_text(expires))
            time.sleep(max(0.0, expires + 1.5 - time.time()))
            with e2e.Nginx(www, scratch) as nginx:
                app, job_app = self.installations(scratch, nginx.url(), public)
                self.assert_refused(app, job_app, nginx.url(), public, app.files())

    def test_endless_data_is_cut_at_the_declared_size(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key)
            with HostileServer(root=str(www)) as server:
                # Far more than declared, without a length to refuse it by: the client
                # stops one byte past the signed size (its unit tests count the bytes).
                server.script({"/up1/data/a.txt": {"body_size": 4 << 20, "framing": "close"}})
                url = server.url("/up1")
                app, job_app = self.installations(scratch, url, public)
                self.assert_refused(app, job_app, url, public, app.files())
                self.assertEqual(len(server.requests(prefix="/up1/data/a.txt")), 6)
            self.assertFalse((app.update_dir / "data" / "a.txt").exists())

    def test_a_different_updater_is_never_started(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            new_updater = e2e.another_updater_build(scratch / "new-update.exe",
                                                    b"\0signed successor")
            release, www = self.serve(scratch, key, updater=new_updater)
            # Same size, same CRC-32, other bytes: the list and release.dat stay as they are.
            served = www / "up1" / "update.exe"
            signed = served.read_bytes()
            tail = len(signed) - 64
            served.write_bytes(e2e.forge_crc32(signed[:tail] + b"\x01" * 60 + signed[-4:],
                                               e2e.crc32(signed), tail + 60))
            with e2e.Nginx(www, scratch) as nginx:
                app, job_app = self.installations(scratch, nginx.url(), public)
                before = app.files()
                rows = app.watch(also="update\\update.exe")
                self.assertEqual([role for role, _, _ in rows], ["main"], rows)
                self.assertEqual(app.files(), before)
                self.assertFalse((app.update_dir / "update.exe").exists())
                self.assertEqual(self.job_result(job_app, nginx.url(), public), UPDATE_E_SIGNATURE)

    def test_a_signed_self_update_installs_and_records_at_its_end(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            new_updater = e2e.another_updater_build(scratch / "new-update.exe",
                                                    b"\0signed successor")
            release, www = self.serve(scratch, key, "--sequence", "31", updater=new_updater)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES,
                                       release_keys=public)
                rows = app.watch(also="update\\update.exe")
                self.assertIn("also", [role for role, _, _ in rows], rows)
            self.assertEqual(app.files(), self.as_installed(app, release))
            self.assertEqual((app.update_dir / RECORD).read_bytes(), b"31\n")

    def test_a_malformed_key_fails_closed_before_any_request(self):
        # No server answers here: a job that asked for ver.dat would end with 8.
        unreachable = "http://127.0.0.1:9/up1"
        with e2e.scratch_folder(self) as scratch:
            _, public = e2e.keygen(scratch / "keys")
            for index, keys in enumerate(("", public[:-1], " ".join([public] * 3))):
                with self.subTest(keys=keys):
                    app = e2e.Installation(scratch, unreachable, files=OLD_FILES,
                                           release_keys=keys, name=f"Qv Reader {index}")
                    before = app.files()
                    code, output = app.run()
                    self.assertEqual(code, 2, output)
                    self.assertEqual(app.files(), before)
                    self.assertEqual(self.job_result(app, unreachable, keys), UPDATE_E_SIGNATURE)

if __name__ == "__main__":
    unittest.main(verbosity=2)
