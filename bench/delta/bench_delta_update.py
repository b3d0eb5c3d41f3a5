"""The whole signed update of the binaries pair through the latency proxy (80 ms round
trip), published in full against published with patches (--delta-from the old
release): update.exe /silence under Wine on a fresh copy of the old installation,
wall time minus the updater's 1 s closing pause, medians of QV_BENCH_ROUNDS runs (3),
and the bytes nginx sent. Two link rates: the proxy's 100 Mbit/s and a slow 4 Mbit/s
line (QV_BENCH_DELTA_RATES, Mbit/s, "100 4"). Goal: delta at most a quarter of the
time of full.

Usage: bench_delta_update.py OLD_UPDATE_EXE OLD_QVPUBLISH_EXE (Linux paths); the new
pair is this build's."""

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


def release(root, pair, version):
    """A release whose changing files are the pair, under names the updater does not
    run (the installation's own update.exe stays as it is)."""
    root = e2e.make_release(root, e2e.SAMPLE_READER, {"ver.dat": version})
    (root / "bin").mkdir()
    for name, path in zip(("update.exe", "qvpublish.exe"), pair):
        shutil.copyfile(path, root / "bin" / name)
    return root


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    work = bench_update.fresh_work_folder("bench-delta-update")
    if work is None:
        return 1
    try:
        old = release(work / "old", [Path(p) for p in sys.argv[1:3]], b"1.0.0.1")
        new = release(work / "new", [e2e.UPDATER, e2e.PUBLISHER], b"1.0.0.2")
        key, public = e2e.keygen(work / "keys")
        www = work / "www"
        for kind, options in (("full", ()), ("delta", ("--delta-from", e2e.win_path(old)))):
            e2e.publish_signed(new, www / kind / "up1", key, "--zip", "*.exe", *options)
        template = e2e.Installation(work / "base", "http://127.0.0.1:9/up1",
                                    files={n: d for n, d in e2e.tree(old).items()
                                           if n not in ("update.exe", "qvreader.exe")})
        wanted = {**e2e.tree(new)}
        rows = []
        with e2e.Nginx(www, work) as nginx:
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
                            app.set_server(f"http://127.0.0.1:{proxy.port}/{kind}/up1", public)
                            nginx.clear_log()
                            seconds, (code, output) = timed(app.run)
                            got = {n: d for n, d in app.files().items() if n != "cfg.ini"}
                            if code != 2 or got != wanted:
                                print(f"bench: the {kind} update did not install the release "
                                      f"(exit {code})\n{output}", file=sys.stderr)
                                return 1
                            times[kind].append(seconds - CLOSING_PAUSE_S)
                            sent[kind] = sum(size for _, _, size in nginx.requests())
                    full, delta = (statistics.median(times[k]) for k in ("full", "delta"))
                    rows.append((rate, full, delta, sent["full"], sent["delta"]))
        patches = sorted((www / "delta" / "up1" / "qvpatch").iterdir())
        print(f"pair: bin\\update.exe and bin\\qvpublish.exe, old -> new; {len(patches)} "
              f"patches served; round trip {RTT_MS} ms; medians of {ROUNDS} runs of "
              f"update.exe (signed) minus its {CLOSING_PAUSE_S:.0f} s closing pause")
        print("  link | full s | delta s | delta/full time | full bytes | delta bytes | "
              "delta/full bytes")
        for rate, full, delta, full_bytes, delta_bytes in rows:
            print(f"{rate:4g} Mbit/s | {full:6.2f} | {delta:7.2f} | {delta / full:15.2f} | "
                  f"{full_bytes:10,} | {delta_bytes:11,} | {delta_bytes / full_bytes:16.3f}")
        print("(bytes: every body nginx sent, lists and release.dat/delta.dat included; "
              "goal delta/full time <= 0.25)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
