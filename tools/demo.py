"""The main job, shown once: publish a signed release, serve it, update an installation.

Run by tools/demo.sh inside Xvfb with the build's Wine prefix. It makes a signing key
and a sample installation of the reader (version 1.0.0.1) that trusts it, and a
release 1.0.0.2 in a temporary folder; publishes the release signed with
qvpublish.exe, serves it over HTTPS with nginx on 127.0.0.1 (as "localhost", with a
certificate from a throwaway authority that the demo adds to its Wine prefix's trusted
roots and removes at the end), runs the installation's update.exe
under Wine as the reader would start it, and prints what changed and what was
verified. Then it serves the release with one file tampered (and the file list's
CRC-32 values made to match, as an attacker would) to a second installation and
shows that nothing of it was installed.
"""

import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import e2e_lib as e2e  # noqa: E402

INSTALLED = {
    "books\\welcome.txt": "Welcome to Qv Reader 1.0.0.1.\r\n".encode() * 3,
    "fonts\\serif.dat": bytes((i * 7) & 0xFF for i in range(200_000)),
    "readme.txt": b"Qv Reader\r\n",
}
RELEASE = {
    "books\\welcome.txt": "Welcome to Qv Reader 1.0.0.2.\r\n".encode() * 3,
    "books\\guide.txt": "What is new in 1.0.0.2: faster page turns.\r\n".encode() * 20,
    "fonts\\serif.dat": bytes((i * 11) & 0xFF for i in range(250_000)),
    "readme.txt": b"Qv Reader\r\n",
}


def reader_version(path: Path) -> str:
    """What the sample reader says about itself ("qvreader 1.0.0.1")."""
    code, output = e2e.run_windows([e2e.win_path(path)], timeout=60)
    words = output.split()
    return words[1] if code == 0 and len(words) >= 2 else "?"


def describe(name: str, old: bytes, new: bytes) -> str:
    if old is None:
        return f"new       {len(new):>8} bytes"
    return f"replaced  {len(old):>8} -> {len(new)} bytes, CRC-32 {e2e.crc32(old):08x} -> " \
           f"{e2e.crc32(new):08x}"


def main() -> int:
    for binary in (e2e.UPDATER, e2e.PUBLISHER, e2e.HELPER, e2e.SAMPLE_READER,
                   e2e.SAMPLE_READER_NEXT):
        if not binary.exists():
            print(f"demo: {binary} is not built; run tools/build.sh", file=sys.stderr)
            return 1
    with tempfile.TemporaryDirectory(prefix="qvupdate-demo-") as temp, \
            e2e.TestAuthority(Path(temp) / "ca", name="Qv demo authority") as authority:
        scratch = Path(temp)
        authority.trust()
        tls = authority.issue("localhost")
        print("a throwaway authority is trusted in the demo's Wine prefix; its certificate "
              "for localhost serves HTTPS")
        key, public_key = e2e.keygen(scratch / "keys")
        print(f"signing key made: {key.name} (private), public key {public_key[:27]}...")
        release = e2e.make_release(scratch / "release-1.0.0.2", e2e.SAMPLE_READER_NEXT, RELEASE)
        www = scratch / "www"
        www.mkdir()
        e2e.publish_signed(release, www / "up1", key, "--zip", "*.dat")
        listed = e2e.read_list(www / "up1" / "filelist.dat")
        server_version = (www / "up1" / "ver.dat").read_text()
        print(f"published release {server_version}: {len(listed)} files, "
              f"{sum(1 for e in listed if e[3])} zipped -> {www / 'up1'}")

        with e2e.Nginx(www, scratch, tls=tls) as nginx:
            print(f"nginx serves it at {nginx.url()}")
            app = e2e.Installation(scratch, nginx.url(), files=INSTALLED,
                                   release_keys=public_key)
            before = app.files()
            print(f"installation {app.dir}: qvreader.exe {reader_version(app.path('qvreader.exe'))}")
            print("running update.exe under Wine ...", flush=True)
            start = time.monotonic()
            code, output = app.run(silent=False)
            seconds = time.monotonic() - start
            requests = nginx.requests()
        print(f"update.exe ended with exit code {code} after {seconds:.1f} s")
        print("requests it made:")
        for uri, status, size in requests:
            print(f"  GET {uri:<28} {status} {size:>8} bytes")

        after = app.files()
        changed = sorted(n for n in after if before.get(n) != after[n])
        unchanged = sorted(n for n in after if before.get(n) == after[n])
        print("files changed:")
        for name in changed:
            print(f"  {name:<20} {describe(name, before.get(name), after[name])}")
        print("files unchanged: " + ", ".join(unchanged))
        print(f"qvreader.exe now reports version {reader_version(app.path('qvreader.exe'))}")
        left = sorted(str(p.relative_to(app.update_dir)) for p in app.update_dir.rglob("*")
                      if p.is_file())
        print("left in the update folder: " + ", ".join(left))
        ok = code == 2 and after == {**e2e.tree(release), "cfg.ini": after["cfg.ini"]}
        record = app.update_dir / "release.seq"
        sequence = record.read_text().strip() if record.exists() else "?"
        verified = ok and "/up1/release.dat" in [uri for uri, _, _ in requests]
        print(f"release.dat verified with the installation's key: sequence {sequence}, "
              f"every file checked by SHA-256" if verified else
              "demo: the release was NOT verified")
        print("demo: the installation now matches release " + server_version if ok else
              "demo: the installation does NOT match the release")
        return 0 if ok and verified and tampered_release_refused(scratch, www, public_key,
                                                                 tls) else 1


def tampered_release_refused(scratch: Path, www: Path, public_key: str, tls) -> bool:
    """Serves the release with one file changed and its CRC-32 values fixed in the list,
    to a second installation, and shows that none of it is installed."""
    name = "books\\guide.txt"
    served = www / "up1" / "books" / "guide.txt"
    served.write_bytes(b"Click here for a free upgrade: http://attacker.example/\r\n" * 20)
    crc = e2e.crc32(served.read_bytes())
    listing = www / "up1" / "filelist.dat"
    lines = [e2e.list_line(crc, crc, False, name) if line.endswith("," + name) else line
             for line in listing.read_bytes().decode("utf-8").split("\n")]
    listing.write_bytes("\n".join(lines).encode("utf-8"))
    print(f"\nnow serving a tampered {name} (filelist.dat CRC-32 values made to match)")
    with e2e.Nginx(www, scratch, tls=tls) as nginx:
        app = e2e.Installation(scratch, nginx.url(), files=INSTALLED, release_keys=public_key,
                               name="Qv Reader 2")
        before = app.files()
        nginx.clear_log()  # the log file is the first server's too
        code, output = app.run(silent=False)
        uris = nginx.uris()
    print("requests it made: " + ", ".join(uri.rsplit("/", 1)[-1] for uri in uris))
    refused = code == 2 and app.files() == before
    print(f"demo: nothing was installed; {len(before)} files unchanged, qvreader.exe "
          f"{reader_version(app.path('qvreader.exe'))}" if refused else
          "demo: the tampered release was INSTALLED")
    return refused


if __name__ == "__main__":
    sys.exit(main())
