"""The whole signed update through the latency proxy (80 ms round trip), published in
full against published with patches (--delta-from the old release): update.exe
/silence under Wine on a fresh copy of the old installation, wall time minus the
updater's 1 s closing pause, medians of QV_BENCH_ROUNDS runs (3), and the bytes nginx
sent. Two releases: the binaries pair alone, then the pair with the 20 MB data set (1%
of it changed), where the bytes outweigh the round trips. Two link rates: the proxy's
100 Mbit/s and a slow 4 Mbit/s line (QV_BENCH_DELTA_RATES, Mbit/s, "100 4"). Goal:
delta at most a quarter of the time of full.

Usage: bench_delta_update.py OLD_UPDATE_EXE OLD_QVPUBLISH_EXE OLD_DATA NEW_DATA (Linux
paths); the new pair is this build's."""

import os
import shutil
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "network"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "update"))
import bench_update  # noqa: E402
from bench_update import CLOSING_PAUSE_S, e2e, timed  # noqa: E402
from latency_proxy import LatencyProxy  # noqa: E402

ROUNDS = int(os.environ.get("QV_BENCH_ROUNDS", "3"))
RATES_MBIT = [float(r) for r in os.environ.get("QV_BENCH_DELTA_RATES", "100 4").split()]
RTT_MS = 80


def release(root, files, version):
    """A release whose changing files are `files` (name: path), under names the updater
    does not run (the installation's own update.exe stays as it is)."""
    root = e2e.make_release(root, e2e.SAMPLE_READER, {"ver.dat": version})
    (root / "bin").mkdir()
    for name, path in files.items():
        shutil.copyfile(path, root / "bin" / name)
    return root


def measure(work, nginx, shape, old_files, new_files):
    """Rows (rate, full s, delta s, full bytes, delta bytes) of one release shape, and
    the number of patches served; None when an update went wrong."""
    old = release(work / shape / "old", old_files, b"1.0.0.1")
    new = release(work / shape / "new", new_files, b"1.0.0.2")
    key, public = e2e.keygen(work / shape / "keys")
    for kind, options in (("full", ()), ("delta", ("--delta-from", e2e.win_path(old)))):
        e2e.publish_signed(new, nginx.root / shape / kind / "up1", key, "--zip", "*.exe",
                           "--zip", "book.dat", *options)
    template = e2e.Installation(work / shape / "base", "http://127.0.0.1:9/up1",
                                files={n: d for n, d in e2e.tree(old).items()
                                       if n not in ("update.exe", "qvreader.exe")})
    wanted = e2e.tree(new)
    rows = []
    for rate in RATES_MBIT:
        with LatencyProxy(nginx.port, delay=RTT_MS / 2000, rate=rate * 1e6 / 8,
                          idle_exit=120, max_run=1200) as proxy:
            times = {"full": [], "delta": []}
            sent = {}
            for _ in range(ROUNDS):
                for kind in times:
                    shutil.rmtree(work / "run", ignore_errors=True)
                    shutil.copytree(template.dir, work / "run")
                    app = e2e.Installation.existing(work / "run")
                    app.set_server(f"http://127.0.0.1:{proxy.port}/{shape}/{kind}/up1", public)
                    nginx.clear_log()
                    seconds, (code, output) = timed(app.run)
                    got = {n: d for n, d in app.files().items() if n != "cfg.ini"}
                    if code != 2 or got != wanted:
                        print(f"bench: the {kind} update of {shape} did not install the "
                              f"release (exit {code})\n{output}", file=sys.stderr)
                        return None, 0
                    times[kind].append(seconds - CLOSING_PAUSE_S)
                    sent[kind] = sum(size for _, _, size in nginx.requests())
            full, delta = (statistics.median(times[k]) for k in ("full", "delta"))
            rows.append((rate, full, delta, sent["full"], sent["delta"]))
    patches = len(list((nginx.root / shape / "delta" / "up1" / "qvpatch").iterdir()))
    return rows, patches


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 64
    work = bench_update.fresh_work_folder("bench-delta-update")
    if work is None:
        return 1
    old_pair = dict(zip(("update.exe", "qvpublish.exe"), map(Path, sys.argv[1:3])))
    new_pair = {"update.exe": e2e.UPDATER, "qvpublish.exe": e2e.PUBLISHER}
    shapes = (("pair", old_pair, new_pair),
              ("pair+data", {**old_pair, "book.dat": Path(sys.argv[3])},
               {**new_pair, "book.dat": Path(sys.argv[4])}))
    try:
        (work / "www").mkdir()
        with e2e.Nginx(work / "www", work) as nginx:
            results = []
            for shape, old_files, new_files in shapes:
                rows, patches = measure(work, nginx, shape, old_files, new_files)
                if rows is None:
                    return 1
                results.append((shape, rows, patches))
        print(f"the pair (bin\\update.exe, bin\\qvpublish.exe), then the pair and bin\\book.dat "
              f"(20 MB, 1% changed), old -> new; round trip {RTT_MS} ms; medians of {ROUNDS} "
              f"runs of update.exe (signed) minus its {CLOSING_PAUSE_S:.0f} s closing pause")
        print("release   | patches |  link | full s | delta s | delta/full time | full bytes | "
              "delta bytes | delta/full bytes")
        for shape, rows, patches in results:
            for rate, full, delta, full_bytes, delta_bytes in rows:
                print(f"{shape:9} | {patches:7} | {rate:5g} | {full:6.2f} | {delta:7.2f} | "
                      f"{delta / full:15.2f} | {full_bytes:10,} | {delta_bytes:11,} | "
                      f"{delta_bytes / full_bytes:16.3f}")
        print("(link in Mbit/s; bytes: every body nginx sent, lists and release.dat/delta.dat "
              "included; goal delta/full time <= 0.25)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
