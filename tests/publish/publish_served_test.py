#!/usr/bin/env python3
"""The publisher from Linux, as the README shows it: tools/publish.sh turns a release
folder into a server folder, a plain static web server on 127.0.0.1 serves it, and
every listed file, fetched by the URL the updater builds, has the listed CRC-32 and
gives back the release's bytes (zipped ones through Python's own zip reader).
Also the refusals only a Linux file system can produce (names differing in case, a
backslash in a name) and check's exit code; and a signed release whose release.dat
OpenSSL verifies as plain ECDSA P-256 over SHA-256, with key files given as Linux paths."""

import binascii
import functools
import hashlib
import http.server
import io
import os
import shutil
import subprocess
import tempfile
import threading
import unittest
import urllib.request
import zipfile
import zlib

SOURCE = os.environ["QV_SOURCE_DIR"]
BUILD = os.environ["QV_BUILD_DIR"]
PUBLISH = os.path.join(SOURCE, "tools", "publish.sh")
READER_NEXT = os.path.join(BUILD, "tests", "support", "sample_reader", "sample_qvreader_next",
                           "qvreader.exe")

# What the updater keeps unescaped in a URL path; everything else becomes %xx of its
# UTF-8 bytes, so the server's own decoding must find the file.
KEPT = set(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!'()*-./:_~%")


def updater_url(base, name):
    raw = (base + "/" + name).replace("\\", "/").encode("utf-8")
    return "".join(chr(b) if b in KEPT else "%%%02x" % b for b in raw)


def run_publisher(*args):
    """Runs tools/publish.sh with its output in a file (never a pipe: Wine's background
    processes would hold it open); returns (exit code, output)."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.call([PUBLISH, *args], stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.STDOUT, timeout=300)
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


def write(folder, name, data):
    path = os.path.join(folder, *name.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def der_integer(value):
    body = value.lstrip(b"\0") or b"\0"
    if body[0] & 0x80:
        body = b"\0" + body
    return b"\x02" + bytes([len(body)]) + body


def openssl_verifies(public_text, message, signature, folder):
    """Verifies with OpenSSL, which shares no code with CNG: the public key text as a
    P-256 SubjectPublicKeyInfo, the raw r || s as a DER signature."""
    point = binascii.unhexlify(public_text.split(":", 1)[1])
    spki = binascii.unhexlify("3059301306072a8648ce3d020106082a8648ce3d030107034200") + b"\x04"
    paths = {name: os.path.join(folder, name) for name in ("key.der", "sig.der", "message")}
    sequence = der_integer(signature[:32]) + der_integer(signature[32:])
    for name, data in (("key.der", spki + point), ("message", message),
                       ("sig.der", b"\x30" + bytes([len(sequence)]) + sequence)):
        with open(paths[name], "wb") as f:
            f.write(data)
    return subprocess.call(["openssl", "dgst", "-sha256", "-keyform", "DER", "-verify",
                            paths["key.der"], "-signature", paths["sig.der"], paths["message"]],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class PublishServedTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qvpub")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def serve(self, folder):
        handler = functools.partial(Quiet, directory=folder)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return "http://127.0.0.1:%d/up1" % server.server_address[1]

    def test_served_folder_gives_every_file_by_the_updaters_url(self):
        release = os.path.join(self.dir, "release")
        with open(READER_NEXT, "rb") as f:
            reader = f.read()
        files = {
            "qvreader.exe": reader,
            "update.exe": os.urandom(30000),
            "cfg.ini": b"[urls]\r\nupddir=http://127.0.0.1/up1\r\n",
            "plugins\\render.dll": os.urandom(50000),
            "books\\\u9605\u8bfb guide, 2nd (ed).txt": b"text " * 120000,
            "a+b=c;d@e [1] ~x!.dat": b"odd but fine",
        }
        for name, data in files.items():
            write(release, name, data)
        # The web root holds the server folder as up1/, as cfg.ini's URL says.
        root = os.path.join(self.dir, "www")
        os.makedirs(root)
        code, output = run_publisher("publish", release, os.path.join(root, "up1"),
                                     "--zip", "*.dll", "--zip-above", "500K")
        self.assertEqual(code, 0, output)
        self.assertIn("published 6 file(s), 2 zipped", output)

        base = self.serve(root)
        version = urllib.request.urlopen(base + "/ver.dat", timeout=10).read()
        self.assertEqual(version, b"1.0.0.2")  # no line end
        listing = urllib.request.urlopen(base + "/filelist.dat", timeout=10).read()
        self.assertTrue(listing.endswith(b"\n"))
        self.assertNotIn(b"\r", listing)
        seen = set()
        for line in listing.decode("utf-8").splitlines():
            crc_installed, crc_download, aux, zipped, name = line.split(",", 4)
            seen.add(name)
            with self.subTest(name=name):
                self.assertEqual(aux, "0")
                # By pattern, or by size (the guide is 600,000 bytes).
                expected = name.endswith(".dll") or name.startswith("books\\")
                self.assertEqual(zipped, "1" if expected else "0")
                body = urllib.request.urlopen(updater_url(base, name), timeout=10).read()
                self.assertEqual(zlib.crc32(body), int(crc_download))
                original = files[name]
                self.assertEqual(zlib.crc32(original), int(crc_installed))
                if zipped == "1":
                    archive = zipfile.ZipFile(io.BytesIO(body))
                    first = archive.infolist()[0]
                    self.assertEqual(first.CRC, int(crc_installed))
                    self.assertEqual(archive.read(first), original)
                    self.assertEqual(first.external_attr & 0x01, 0)  # never read-only
                else:
                    self.assertEqual(body, original)
        self.assertEqual(seen, set(files))

        code, output = run_publisher("check", os.path.join(root, "up1"))
        self.assertEqual(code, 0, output)
        self.assertIn("no problems found", output)
        write(os.path.join(root, "up1"), "update.exe", b"truncated")
        code, output = run_publisher("check", os.path.join(root, "up1"))
        self.assertEqual(code, 4, output)
        self.assertIn('error: "update.exe": the served file\'s CRC-32 is', output)

    def test_signed_release_verifies_outside_windows(self):
        keys = os.path.join(self.dir, "keys with space")
        code, output = run_publisher("keygen", "--private=" + os.path.join(keys, "r.key"),
                                     "--public", os.path.join(keys, "r.pub"))
        self.assertEqual(code, 0, output)
        with open(os.path.join(keys, "r.pub")) as f:
            public_text = f.read().rstrip("\n")
        self.assertIn("release_keys=" + public_text, output)
        code, output = run_publisher("keygen", "--private", os.path.join(keys, "r.key"),
                                     "--public", os.path.join(keys, "other.pub"))
        self.assertEqual(code, 1, output)

        release = os.path.join(self.dir, "release")
        with open(READER_NEXT, "rb") as f:
            files = {"qvreader.exe": f.read(), "plugins\\render.dll": os.urandom(40000),
                     "notes.txt": b"notes\n" * 1000}
        for name, data in files.items():
            write(release, name, data)
        server = os.path.join(self.dir, "www", "up1")
        code, output = run_publisher("publish", release, server, "--zip", "*.dll",
                                     "--sign", os.path.join(keys, "r.key"), "--sequence", "77",
                                     "--expires", "2100-01-01T00:00:00Z")
        self.assertEqual(code, 0, output)
        self.assertIn("signed release.dat: sequence 77, expires 2100-01-01T00:00:00Z", output)

        with open(os.path.join(server, "release.dat"), "rb") as f:
            manifest = f.read()
        body, signature_line = manifest[:-1].rsplit(b"\n", 1)
        body += b"\n"
        self.assertTrue(signature_line.startswith(b"signature ecdsa-p256 "))
        signature = binascii.unhexlify(signature_line.split(b" ")[2])
        self.assertTrue(openssl_verifies(public_text, body, signature, self.dir))
        self.assertFalse(openssl_verifies(public_text, body.replace(b"sequence 77", b"sequence 78"),
                                          signature, self.dir))
        lines = body.decode("utf-8").splitlines()
        self.assertEqual(lines[:4], ["qvupdate-release 1", "sequence 77",
                                     "expires 2100-01-01T00:00:00Z",
                                     "version " + b"1.0.0.2".hex()])
        with open(os.path.join(server, "filelist.dat"), "rb") as f:
            listing = f.read()
        self.assertEqual(lines[4], "filelist %s %d" % (hashlib.sha256(listing).hexdigest(),
                                                        len(listing)))
        signed = {}
        for line in lines[5:]:
            tag, served_sha, served_size, installed_sha, installed_size, name = line.split(" ", 5)
            self.assertEqual(tag, "file")
            signed[name] = (served_sha, int(served_size), installed_sha, int(installed_size))
        self.assertEqual(set(signed), set(files))
        for name, original in files.items():
            with open(os.path.join(server, *name.split("\\")), "rb") as f:
                served = f.read()
            self.assertEqual(signed[name], (hashlib.sha256(served).hexdigest(), len(served),
                                            hashlib.sha256(original).hexdigest(), len(original)))

        code, output = run_publisher("check", server, "--key=" + os.path.join(keys, "r.pub"))
        self.assertEqual(code, 0, output)
        self.assertFalse(os.path.exists(os.path.join(keys, "other.pub")))
        code, output = run_publisher("keygen", "--private", os.path.join(keys, "o.key"),
                                     "--public", os.path.join(keys, "o.pub"))
        self.assertEqual(code, 0, output)
        code, output = run_publisher("check", server, "--key", os.path.join(keys, "o.pub"))
        self.assertEqual(code, 4, output)
        self.assertIn("release.dat is not signed with the key", output)

    def test_delta_patches_are_signed_and_served_by_content(self):
        keys = os.path.join(self.dir, "keys")
        code, output = run_publisher("keygen", "--private", os.path.join(keys, "r.key"),
                                     "--public", os.path.join(keys, "r.pub"))
        self.assertEqual(code, 0, output)
        with open(os.path.join(keys, "r.pub")) as f:
            public_text = f.read().rstrip("\n")
        old, new = os.path.join(self.dir, "old release"), os.path.join(self.dir, "new")
        program = os.urandom(300000)
        write(old, "bin\\program.exe", program)
        write(new, "bin\\program.exe", program[:1000] + b"changed" + program[1007:])
        write(new, "ver.dat", b"2.0")
        server = os.path.join(self.dir, "www", "up2")
        code, output = run_publisher("publish", new, server, "--sign",
                                     os.path.join(keys, "r.key"), "--sequence", "78",
                                     "--delta-from", old)
        self.assertEqual(code, 0, output)
        with open(os.path.join(server, "delta.dat"), "rb") as f:
            description = f.read()
        body, signature_line = description[:-1].rsplit(b"\n", 1)
        body += b"\n"
        signature = binascii.unhexlify(signature_line.split(b" ")[2])
        self.assertTrue(openssl_verifies(public_text, body, signature, self.dir))
        lines = body.decode("utf-8").splitlines()
        self.assertEqual(lines[:3], ["qvupdate-delta 1", "sequence 78", "version " + b"2.0".hex()])
        self.assertEqual(len(lines), 4, lines)
        tag, base_sha, base_size, patch_sha, patch_size, served, name = lines[3].split(" ", 6)
        self.assertEqual((tag, name), ("patch", "bin\\program.exe"))
        self.assertEqual((base_sha, int(base_size)), (hashlib.sha256(program).hexdigest(),
                                                      len(program)))
        self.assertEqual(served, "qvpatch\\" + patch_sha)
        base = self.serve(os.path.join(self.dir, "www")).rsplit("/", 1)[0] + "/up2"
        url = updater_url(base, served)
        with urllib.request.urlopen(url, timeout=30) as response:
            patch = response.read()
        self.assertEqual((hashlib.sha256(patch).hexdigest(), len(patch)),
                         (patch_sha, int(patch_size)))
        self.assertLess(len(patch), 2000)
        # A plain zstd frame with the old file as reference: zstd's own program, where the
        # machine has it, makes the new file from it.
        if shutil.which("zstd"):
            with open(os.path.join(self.dir, "p.zst"), "wb") as f:
                f.write(patch)
            subprocess.check_call(["zstd", "-q", "-d", "--long=31", "--patch-from",
                                   os.path.join(old, "bin", "program.exe"),
                                   os.path.join(self.dir, "p.zst"), "-o",
                                   os.path.join(self.dir, "made")])
            with open(os.path.join(self.dir, "made"), "rb") as f, \
                    open(os.path.join(new, "bin", "program.exe"), "rb") as g:
                self.assertEqual(f.read(), g.read())
        code, output = run_publisher("check", server, "--key", os.path.join(keys, "r.pub"),
                                     "--delta-from", old)
        self.assertEqual(code, 0, output)
        self.assertIn("1 patch(es) applied to their bases and checked", output)

    def test_refuses_names_only_a_linux_folder_can_hold(self):
        release = os.path.join(self.dir, "release")
        write(release, "Data.bin", b"1")
        write(release, "data.bin", b"2")
        write(release, "Sub\\x.txt", b"3")
        write(release, "sub\\y.txt", b"4")
        server = os.path.join(self.dir, "server")
        code, output = run_publisher("publish", release, server, "--version", "1")
        self.assertEqual(code, 2, output)
        self.assertIn("differ only in letter case", output)
        self.assertEqual(output.count("differ only in letter case"), 2, output)
        self.assertFalse(os.path.exists(server))

        shutil.rmtree(release)
        write(release, "ok.txt", b"1")
        write(release, "sub\\fine.txt", b"2")
        with open(os.path.join(release, "a\\b.txt"), "wb") as f:
            f.write(b"Wine cannot show this name")
        code, output = run_publisher("publish", release, server, "--version", "1")
        self.assertEqual(code, 2, output)
        self.assertIn("names with a backslash cannot be published", output)
        self.assertFalse(os.path.exists(server))


if __name__ == "__main__":
    unittest.main(verbosity=2)
