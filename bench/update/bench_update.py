"""Times a whole update and a no-op update of update.exe under Wine.

1. A release of 200 files, 100 MiB, half of them changed against the installation
   and a quarter of them served zipped, published with qvpublish.exe and served by
   nginx on 127.0.0.1. A whole run of update.exe /silence (version check, list,
   CRC-32 of every installed file, downloads, checks, extraction, moves) is timed
   against curl fetching the same changed files, as served, in one process over one
   keep-alive connection.
2. A no-op run (the server announces the installed version) is timed against a bare
   Wine start of a program that does nothing.
3. The same whole update in signed mode (release.dat, SHA-256 of every download and
   extracted file) against the unsigned one, runs taken in turns: goal <= 1.10.
4. For the record, where the whole update spends its time: the engine's stages
   timed inside one process (bench_stages.exe) on the same release.

Each figure is the median of several runs, each from a fresh copy of the
installation. The updater's own closing pause (one second after a successful job,
so that the completion balloon can be read) is part of its time; the figures
without it are printed too.
"""

import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(os.environ["QV_SOURCE_DIR"]) / "tests" / "e2e"))
import e2e_lib as e2e  # noqa: E402

FILES = 200
TOTAL = 100 << 20
RUNS = 5
CLOSING_PAUSE_S = 1.0
TRIVIAL = e2e.BUILD_DIR / "bench" / "update" / "bench_trivial.exe"
STAGES = e2e.BUILD_DIR / "bench" / "update" / "bench_stages.exe"


def file_sizes():
    # Sizes from 1 to 200 parts, scaled to the total: small and large files mixed.
    weights = [1 + (i * 37) % FILES for i in range(FILES)]
    scale = TOTAL / sum(weights)
    sizes = [int(w * scale) for w in weights]
    sizes[0] += TOTAL - sum(sizes)
    return sizes


def content(size: int, compressible: bool) -> bytes:
    if not compressible:
        return os.urandom(size)
    # About half of it compresses away, like program files and data.
    half = size // 2
    return os.urandom(half) + (b"qv reader text " * (size // 15 + 1))[: size - half]


def make_trees():
    old, new = {}, {}
    for i, size in enumerate(file_sizes()):
        zipped = i % 8 < 2  # a quarter, served zipped; half of them change
        name = f"{'z' if zipped else 'p'}{i:03}.bin"
        if i % 8 < 4:
            name = f"sub{i % 5}\\{name}"
        data = content(size, zipped)
        old[name] = data
        new[name] = content(size, zipped) if i % 2 == 0 else data  # half changed
    return old, new


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def publish_benchmark_release(work):
    """Publishes the benchmark release under work/www: plain in up1, signed in up1s.
    Returns the old and new trees, the changed names, the release, the www folder and the
    public key."""
    old, new = make_trees()
    changed = sorted(n for n in new if new[n] != old[n])
    release = e2e.make_release(work / "release", e2e.SAMPLE_READER_NEXT, new)
    www = work / "www"
    www.mkdir()
    e2e.publish(release, www / "up1", "--zip", "z*.bin")
    key, public_key = e2e.keygen(work / "keys")
    e2e.publish_signed(release, www / "up1s", key, "--zip", "z*.bin")
    return old, new, changed, release, www, public_key


def fresh_work_folder(name, *programs):
    """An empty build/NAME for a benchmark's files, or None (said why) when the programs
    it runs, beside the updater, publisher and sample readers, are not built."""
    for binary in (e2e.UPDATER, e2e.PUBLISHER, e2e.SAMPLE_READER, e2e.SAMPLE_READER_NEXT,
                   *programs):
        if not binary.exists():
            print(f"bench: {binary} is not built", file=sys.stderr)
            return None
    work = e2e.BUILD_DIR / name
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    return work


def main():
    work = fresh_work_folder("bench-update", TRIVIAL, STAGES)
    if work is None:
        return 1
    try:
        old, new, changed, release, www, public_key = publish_benchmark_release(work)
        entries = {e[4]: e for e in e2e.read_list(www / "up1" / "filelist.dat")}
        served = sum((www / "up1" / Path(*n.split("\\"))).stat().st_size for n in changed)
        print(f"release: {len(new)} files, {sum(map(len, new.values())) / 2**20:.0f} MiB; "
              f"{len(changed)} changed ({sum(entries[n][3] for n in changed)} zipped), "
              f"{served / 2**20:.1f} MiB to download")

        with e2e.Nginx(www, work) as nginx:
            base = work / "base"
            base.mkdir()
            template = e2e.Installation(base, nginx.url(), files=old)
            signed_template = e2e.Installation(base, nginx.url("/up1s"), files=old,
                                               name="Qv Reader signed",
                                               release_keys=public_key)

            def fresh(name, reader=None, source=template):
                target = work / name
                shutil.rmtree(target, ignore_errors=True)
                shutil.copytree(source.dir, target / template.dir.name)
                app = e2e.Installation.existing(target / template.dir.name)
                if reader is not None:
                    shutil.copyfile(reader, app.dir / "qvreader.exe")
                return app

            update_times, signed_times = [], []
            for run in range(RUNS):
                for source, times in ((template, update_times),
                                      (signed_template, signed_times)):
                    app = fresh(f"run{run}", source=source)
                    seconds, (code, output) = timed(app.run)
                    if code != 2 or app.files() != {**e2e.tree(release),
                                                    "cfg.ini": app.path("cfg.ini").read_bytes()}:
                        print(f"bench: the update did not install the release (exit {code})\n"
                              + output, file=sys.stderr)
                        return 1
                    if source is signed_template and not (app.update_dir / "release.seq").exists():
                        print("bench: the signed update recorded no release", file=sys.stderr)
                        return 1
                    times.append(seconds)
                    shutil.rmtree(app.dir.parent)

            urls = [nginx.url("/up1/" + n.replace("\\", "/")) for n in changed]
            curl_times = []
            for run in range(RUNS):
                out = work / f"curl{run}"
                out.mkdir()
                args = ["curl", "-s", "--fail"]
                for i, url in enumerate(urls):
                    args += ["-o", str(out / f"{i}.bin"), url]
                seconds, result = timed(lambda: subprocess.run(args, check=False))
                if result.returncode != 0:
                    print("bench: curl failed", file=sys.stderr)
                    return 1
                curl_times.append(seconds)
                shutil.rmtree(out)

            noop_times = []
            for run in range(RUNS):
                app = fresh(f"noop{run}", reader=e2e.SAMPLE_READER_NEXT)
                before = len(nginx.requests())
                seconds, (code, _) = timed(app.run)
                if code != 2 or len(nginx.requests()) != before + 1 or app.update_dir.exists():
                    print("bench: the no-op run did more than ask for ver.dat", file=sys.stderr)
                    return 1
                noop_times.append(seconds)
                shutil.rmtree(app.dir.parent)

            stage_rows = []
            for run in range(RUNS):
                app = fresh(f"stages{run}")
                code, output = e2e.run_windows([STAGES, app.win(), nginx.url()])
                words = output.split()
                if code != 0 or len(words) != 8:
                    print("bench: bench_stages failed\n" + output, file=sys.stderr)
                    return 1
                stage_rows.append([float(w) for w in words[1::2]])
                shutil.rmtree(app.dir.parent)

        trivial_times = []
        for run in range(RUNS):
            seconds, (code, _) = timed(lambda: e2e.run_windows([TRIVIAL]))
            trivial_times.append(seconds)

        update_s = statistics.median(update_times)
        curl_s = statistics.median(curl_times)
        noop_s = statistics.median(noop_times)
        trivial_s = statistics.median(trivial_times)
        print(f"whole update : {update_s:6.2f} s  (curl, same files, one keep-alive process: "
              f"{curl_s:.2f} s)")
        print(f"  ratio update/curl            : {update_s / curl_s:6.2f}")
        print(f"  without the 1 s closing pause: {(update_s - CLOSING_PAUSE_S) / curl_s:6.2f}")
        signed_s = statistics.median(signed_times)
        print(f"signed update: {signed_s:6.2f} s  (unsigned, same run: {update_s:.2f} s)")
        print(f"  ratio signed/unsigned        : {signed_s / update_s:6.2f}  (goal <= 1.10)")
        print(f"  without the 1 s closing pause: "
              f"{(signed_s - CLOSING_PAUSE_S) / (update_s - CLOSING_PAUSE_S):6.2f}")
        stages = [statistics.median(column) for column in zip(*stage_rows)]
        print("  stages in one process: list {:.2f} s, CRC-32 of the installed files {:.2f} s, "
              "downloads with checks and extraction {:.2f} s, installation {:.2f} s".format(*stages))
        print(f"no-op update : {noop_s:6.2f} s  (bare Wine start of a program that does "
              f"nothing: {trivial_s:.2f} s)")
        print(f"  ratio no-op/bare start       : {noop_s / trivial_s:6.2f}")
        print(f"  without the 1 s closing pause: {(noop_s - CLOSING_PAUSE_S) / trivial_s:6.2f}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
