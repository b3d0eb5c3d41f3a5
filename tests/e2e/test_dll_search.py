"""No DLL beside update.exe is ever loaded: a DLL planted in the installation and in
its update folder, under the name of a DLL the updater uses, leaves a marker file
when it is loaded. Wine prefers its own DLLs unless told otherwise, so the updater
runs with a native-first override for that name, as Windows would search.

bcrypt.dll is the name: the updater uses it in both runs of a signed self-update.
version.dll cannot be shown under Wine: Wine's own user32 imports it, so a planted
copy loads with user32, before any code of the program runs (on Windows user32 is a
known DLL and imports known DLLs only). comctl32.dll comes through the manifest's
activation context, which no planted copy overrides."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import e2e_lib as e2e  # noqa: E402
from test_nginx import NEW_FILES, OLD_FILES, ZIP_OPTIONS  # noqa: E402

PLANTED_DLL = e2e.BUILD_DIR / "tests" / "e2e" / "planted.dll"
# Not a known DLL: the ordinary search order looks beside the program first.
PLANTED_NAMES = ("bcrypt",)


class DllSearch(unittest.TestCase):
    def setUp(self):
        e2e.require_binaries(self, e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                             e2e.SAMPLE_READER_NEXT, PLANTED_DLL)
        self.saved_overrides = os.environ.get("WINEDLLOVERRIDES")
        os.environ["WINEDLLOVERRIDES"] = (
            "mscoree,mshtml=;" + ",".join(PLANTED_NAMES) + "=n,b")

    def tearDown(self):
        if self.saved_overrides is None:
            os.environ.pop("WINEDLLOVERRIDES", None)
        else:
            os.environ["WINEDLLOVERRIDES"] = self.saved_overrides

    def test_a_signed_self_update_loads_no_planted_dll(self):
        with e2e.scratch_folder(self) as scratch:
            # Signatures and hashes in the normal run and in the copy-only run from the
            # update folder.
            key, public = e2e.keygen(scratch / "keys")
            new_updater = e2e.another_updater_build(scratch / "update-next.exe")
            release = e2e.make_release(scratch / "release", e2e.SAMPLE_READER_NEXT, NEW_FILES,
                                       updater=new_updater)
            www = scratch / "www"
            www.mkdir()
            e2e.publish_signed(release, www / "up1", key, *ZIP_OPTIONS)
            with e2e.Nginx(www, scratch) as nginx:
                app = e2e.Installation(scratch, nginx.url(), files=OLD_FILES,
                                       release_keys=public)
                app.update_dir.mkdir()
                for folder in (app.dir, app.update_dir):
                    for name in PLANTED_NAMES:
                        (folder / f"{name}.dll").write_bytes(PLANTED_DLL.read_bytes())
                rows = app.watch(also="update\\update.exe")
            markers = sorted(str(p.relative_to(app.dir)) for p in app.dir.rglob("*.loaded"))
            self.assertEqual(markers, [])
            # The job itself went through: both updaters ended normally and the new one
            # installed the release, itself included.
            self.assertEqual([(role, code) for role, code, _ in rows], [("main", 2), ("also", 2)])
            self.assertEqual(app.path("update.exe").read_bytes(), new_updater.read_bytes())
            self.assertEqual(app.path("qvreader.exe").read_bytes(),
                             e2e.SAMPLE_READER_NEXT.read_bytes())


if __name__ == "__main__":
    unittest.main(verbosity=2)
