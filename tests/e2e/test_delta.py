"""Delta updates end to end: the real publisher makes patches against older releases
(--delta-from), and the real update.exe under Wine (or e2e_helper's job mode, the same
engine, where the job's result or a crash matters) installs the release through the
patches whose base is the installed file, falls back to the full file when a patch
cannot be used, and refuses a release whose delta.dat was changed. The server's record
(nginx's access log, the hostile server's requests) tells which files came in full and
which as patches."""

import hashlib
import random
import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402

UPDATE_E_SIGNATURE = 9
UPDATE_STOPPED = 100
CRASH_EXIT_CODE = 99  # e2e_helper job ends with this code at the planned patch step


def edited(data: bytes, seed: int, runs: int = 6) -> bytes:
    """`data` with a few short runs rewritten, as a new build of a large file is."""
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(runs):
        at = rng.randrange(len(out) - 64)
        out[at:at + rng.randrange(8, 64)] = rng.randbytes(rng.randrange(8, 64))
    return bytes(out)


def releases():
    """The files of three consecutive releases besides update.exe and qvreader.exe (the
    same in all three): a zipped binary and a text file that change a little each time,
    a file that never changes, and ver.dat (the version)."""
    rng = random.Random(21)
    words = [bytes(rng.choices(b"abcdefghij", k=rng.randrange(2, 9))) for _ in range(4000)]
    binary, text = rng.randbytes(400_000), b" ".join(rng.choices(words, k=40_000))
    out = []
    for number in range(3):
        out.append({"big.bin": binary, "data\\doc.txt": text, "same.txt": b"unchanged\n",
                    "ver.dat": f"1.0.0.{number}".encode()})
        binary, text = edited(binary, 100 + number), edited(text, 200 + number)
    return out


def served_patches(www):
    """[(file name, base SHA-256, uri of the patch)] from the served delta.dat."""
    out = []
    for line in (www / "up1" / "delta.dat").read_bytes().decode().split("\n"):
        if line.startswith("patch "):
            _, base, _, _, _, served, name = line.split(" ", 6)
            out.append((name, base, "/up1/" + served.replace("\\", "/")))
    return out


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def digests(files: dict) -> dict:
    """{name: SHA-256}: what a failed comparison prints stays short."""
    return {name: sha256(data) for name, data in files.items()}


class DeltaUpdate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = releases()

    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT)

    def serve(self, scratch, key, *options, folder="www"):
        """The last release, published with patches against both earlier ones."""
        olds = [scratch / f"release-{n}" for n in (1, 0)]
        for n, old in zip((1, 0), olds):
            if not old.exists():
                e2e.make_release(old, e2e.SAMPLE_READER, self.files[n])
        release = scratch / "release-2"
        if not release.exists():
            e2e.make_release(release, e2e.SAMPLE_READER, self.files[2])
        www = scratch / folder
        www.mkdir()
        e2e.publish_signed(release, www / "up1", key, "--zip", "*.bin", *options,
                           *[arg for old in olds for arg in ("--delta-from", e2e.win_path(old))])
        return release, www

    def assert_installed_exactly(self, app, release):
        self.assertEqual(digests(app.files()),
                         digests({**e2e.tree(release), "cfg.ini": app.path("cfg.ini").read_bytes()}))
        self.assertFalse((app.update_dir / "qvpatch").exists())

    def assert_came_as(self, uris, www, patched, signed=True):
        """The changed files in `patched` came through their patches, the others in full."""
        self.assertEqual("/up1/delta.dat" in uris, signed, uris)
        patches = {uri: name for name, _, uri in served_patches(www)}
        self.assertEqual(sorted(patches[u] for u in uris if u in patches), sorted(patched), uris)
        for name in ("big.bin", "data\\doc.txt", "ver.dat"):
            self.assertEqual("/up1/" + name.replace("\\", "/") in uris, name not in patched, name)

    def test_patches_are_used_where_the_installed_file_is_their_base(self):
        rows = [
            # name, installed files, signed, the files expected through patches
            ("last release", self.files[1], True, {"big.bin", "data\\doc.txt"}),
            ("release before it", self.files[0], True, {"big.bin", "data\\doc.txt"}),
            ("no base for big.bin", {**self.files[1], "big.bin": edited(self.files[1]["big.bin"], 9)},
             True, {"data\\doc.txt"}),
            ("unsigned mode", self.files[1], False, set()),
        ]
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key)
            with e2e.Nginx(www, scratch) as nginx:
                for name, files, signed, patched in rows:
                    with self.subTest(row=name):
                        app = e2e.Installation(scratch, nginx.url(), files=files, name=name,
                                               release_keys=public if signed else None)
                        nginx.clear_log()
                        code, output = app.run()
                        self.assertEqual(code, 2, output)
                        self.assert_came_as(nginx.uris(), www, patched, signed)
                        self.assert_installed_exactly(app, release)

    def test_the_download_figures_count_patches_in_place_of_their_files(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=self.files[1],
                                       release_keys=public)
                code, output = e2e.run_windows([e2e.HELPER, "job", app.win(), nginx.url(),
                                                "normal", "-1", public])
                self.assertEqual(code, 0, output)
                came = [www / uri.lstrip("/") for uri in nginx.uris()
                        if "qvpatch" in uri or uri == "/up1/ver.dat"]
                # ver.dat is fetched twice: once to compare, once as a listed file.
                size = sum(path.stat().st_size for path in came) - (www / "up1/ver.dat").stat().st_size
                self.assertIn(f"progress {size} {size}", output)

    def test_a_patch_that_cannot_be_used_falls_back_to_the_full_file(self):
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key)
            patch = next(uri for name, base, uri in served_patches(www)
                         if name == "big.bin" and base == sha256(self.files[1]["big.bin"]))
            half = (www / patch.lstrip("/")).stat().st_size // 2
            served = {"file": patch[1:], "ranges": True}
            faults = [
                # fault, routes, files then fetched in full, the Range of each patch request
                ("tampered", {patch: {**served, "corrupt": True}}, {"/up1/big.bin"}, [None]),
                ("missing", {patch: {"status": 404, "body": "gone"}}, {"/up1/big.bin"}, [None]),
                # cut at half: resumed with a Range request, as a file is
                ("patch cut", {patch: [{**served, "drop_after": half}, served]}, set(),
                 [None, f"bytes={half}-"]),
                # a delta.dat that never comes whole is none: every file in full
                ("delta.dat cut", {"/up1/delta.dat": {"file": "up1/delta.dat", "body_drop_at": 40}},
                 {"/up1/big.bin", "/up1/data/doc.txt"}, []),
            ]
            for fault, routes, full, ranges in faults:
                with self.subTest(fault=fault), HostileServer(root=str(www)) as server:
                    server.script(routes)
                    app = e2e.Installation(scratch, server.url("/up1"), files=self.files[1],
                                           name=fault, release_keys=public)
                    code, output = app.run()
                    self.assertEqual(code, 2, output)
                    self.assert_installed_exactly(app, release)
                    uris = {r.target for r in server.requests()}
                    self.assertEqual({"/up1/big.bin", "/up1/data/doc.txt"} & uris, full)
                    self.assertEqual([r.header("Range") for r in server.requests(patch)], ranges)

    def test_a_changed_delta_description_installs_nothing_and_gives_9(self):
        def change_signed_text(www, scratch, key):
            path = www / "up1" / "delta.dat"
            path.write_bytes(path.read_bytes().replace(b"sequence 7", b"sequence 8", 1))

        def another_releases(www, scratch, key):
            _, other = self.serve(scratch, key, "--sequence", "6", folder="www-other")
            shutil.copyfile(other / "up1" / "delta.dat", www / "up1" / "delta.dat")

        for change in (change_signed_text, another_releases):
            with self.subTest(change=change.__name__), e2e.scratch_folder(self) as scratch:
                key, public = e2e.keygen(scratch / "keys")
                _, www = self.serve(scratch, key, "--sequence", "7")
                change(www, scratch, key)
                with e2e.Nginx(www, scratch) as nginx:
                    app = e2e.Installation(scratch, nginx.url(), files=self.files[1],
                                           release_keys=public)
                    before = app.files()
                    code, output = e2e.run_windows([e2e.HELPER, "job", app.win(), nginx.url(),
                                                    "normal", "-1", public])
                    uris = nginx.uris()
                self.assertEqual(code, UPDATE_E_SIGNATURE, output)
                self.assertEqual(digests(app.files()), digests(before))
                self.assertEqual(uris, ["/up1/ver.dat", "/up1/release.dat", "/up1/delta.dat"])

    def test_a_crash_or_a_stop_while_patching_is_completed_by_the_next_run(self):
        ends = [("fetched", CRASH_EXIT_CODE), ("applied", CRASH_EXIT_CODE),
                ("stop", UPDATE_STOPPED)]
        with e2e.scratch_folder(self) as scratch:
            key, public = e2e.keygen(scratch / "keys")
            release, www = self.serve(scratch, key)
            with e2e.Nginx(www, scratch) as nginx:
                for step, result in ends:
                    with self.subTest(step=step):
                        app = e2e.Installation(scratch, nginx.url(), files=self.files[1],
                                               name=step, release_keys=public)
                        before = app.files()
                        code, output = e2e.run_windows([e2e.HELPER, "job", app.win(),
                                                        nginx.url(), step, "-1", public])
                        self.assertEqual(code, result, output)
                        self.assertEqual(digests(app.files()), digests(before))
                        if step == "stop":
                            # Nothing half-applied stays staged, and no patch.
                            staged = digests(e2e.tree(app.update_dir))
                            for name in ("big.bin", "data\\doc.txt"):
                                self.assertIn(staged.get(name), (None, sha256(self.files[2][name])),
                                              name)
                            self.assertFalse((app.update_dir / "qvpatch").exists())
                        nginx.clear_log()
                        code, output = app.run()
                        self.assertEqual(code, 2, output)
                        self.assert_installed_exactly(app, release)
                        # What was not staged whole came through its patch again.
                        uris = nginx.uris()
                        self.assertFalse({"/up1/big.bin", "/up1/data/doc.txt"} & set(uris), uris)


if __name__ == "__main__":
    unittest.main(verbosity=2)
