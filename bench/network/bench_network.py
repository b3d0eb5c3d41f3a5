"""Times a whole update over an emulated link: nginx on 127.0.0.1 behind the latency
proxy (latency_proxy.py), round trips of 20 ms and 80 ms, 100 Mbit/s shared.

The release is the one of bench/update (200 files, half of them changed, a quarter
served zipped), published plain and signed. For each round trip, through the same
proxy and in turns, it times:
  - update.exe /silence under Wine updating a fresh copy of the old installation
    (the whole run: Wine start, version check, list, CRC-32 of the installed files,
    downloads, checks, extraction, moves), minus the updater's 1 s closing pause;
    signed too at 80 ms;
  - curl fetching ver.dat, filelist.dat and the changed files, as served, over one
    keep-alive connection (one process, many URLs);
  - curl fetching the same with 6 transfers at once (--parallel --parallel-max 6).
Each figure is the median of QV_BENCH_ROUNDS runs (3); QV_BENCH_RTTS (ms, "20 80")
changes the round trips. The table also gives the connections each client opened.
Then the same over HTTPS at QV_BENCH_HTTPS_RTTS (ms, "80"): nginx over TLS on
"localhost" with a certificate from a throwaway authority trusted in the build's Wine
prefix for the run (and given to curl with --cacert), behind the same kind of proxy;
it keeps sessions (cache and tickets) so that clients may resume them. curl x6 starts
its six connections at once, so none of them can resume; update.exe under Wine never
resumes either (Wine's SChannel does not). Goal there: update.exe at most 1.25 times
curl x6 over HTTPS.
"""

import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "update"))
import bench_update  # noqa: E402
from bench_update import CLOSING_PAUSE_S, e2e, timed  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from latency_proxy import DEFAULT_RATE, LatencyProxy  # noqa: E402

ROUNDS = int(os.environ.get("QV_BENCH_ROUNDS", "3"))
RTTS_MS = [int(ms) for ms in os.environ.get("QV_BENCH_RTTS", "20 80").split()]
SIGNED_RTTS_MS = {80}
HTTPS_RTTS_MS = [int(ms) for ms in os.environ.get("QV_BENCH_HTTPS_RTTS", "80").split()]
PARALLEL = 6
# The TLS server keeps sessions (by ticket and by id) as servers on the Internet do, so
# that a client may resume them.
SESSION_REUSE = "ssl_session_cache shared:qvbench:1m; ssl_session_tickets on;"


class Failure(Exception):
    pass


def fresh_copy(template, folder, upddir, release_keys=None):
    """A copy of the old installation in `folder`, its cfg.ini naming `upddir`."""
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(template.dir, folder / template.dir.name)
    app = e2e.Installation.existing(folder / template.dir.name)
    app.set_server(upddir, release_keys)
    return app


def time_update(app, release, signed):
    seconds, (code, output) = timed(app.run)
    if code != 2 or app.files() != {**e2e.tree(release),
                                    "cfg.ini": app.path("cfg.ini").read_bytes()}:
        raise Failure(f"the update did not install the release (exit {code})\n{output}")
    if signed and not (app.update_dir / "release.seq").exists():
        raise Failure("the signed update recorded no release")
    return seconds - CLOSING_PAUSE_S


def time_curl(urls, sizes, out, *options):
    out.mkdir()
    args = ["curl", "-s", "--fail", *options]
    for i, url in enumerate(urls):
        args += ["-o", str(out / f"{i}.bin"), url]
    # Captured: curl shows the progress of parallel transfers even with -s.
    seconds, result = timed(lambda: subprocess.run(args, check=False, capture_output=True))
    got = [(out / f"{i}.bin").stat().st_size if (out / f"{i}.bin").exists() else -1
           for i in range(len(urls))]
    shutil.rmtree(out)
    if result.returncode != 0 or got != sizes:
        raise Failure(f"curl {' '.join(options)} failed (exit {result.returncode}): "
                      + result.stderr.decode("utf-8", "replace")[-2000:])
    return seconds


def time_link(rtt, secure, server, template, release, public_key, names, sizes, work, ca_pem):
    """The rows of one link: update.exe (and signed where asked) against curl with one
    connection and with six, all through one latency proxy in front of `server`."""
    rows = []
    with LatencyProxy(server.port, delay=rtt / 2000, idle_exit=120, max_run=1200) as proxy:
        base = f"https://localhost:{proxy.port}" if secure else f"http://127.0.0.1:{proxy.port}"
        curl_options = ("--cacert", str(ca_pem)) if secure else ()
        urls = [f"{base}/up1/{name}" for name in names]
        kinds = ["https"] if secure else (
            ["unsigned"] + (["signed"] if rtt in SIGNED_RTTS_MS else []))
        times = {kind: [] for kind in kinds + ["keep-alive", "parallel"]}
        connections = {kind: 0 for kind in times}
        for run in range(ROUNDS):
            for kind in times:
                before = proxy.connections
                if kind in ("unsigned", "https"):
                    app = fresh_copy(template, work / "run", f"{base}/up1")
                    seconds = time_update(app, release, signed=False)
                elif kind == "signed":
                    app = fresh_copy(template, work / "run", f"{base}/up1s", public_key)
                    seconds = time_update(app, release, signed=True)
                elif kind == "keep-alive":
                    seconds = time_curl(urls, sizes, work / "curl", *curl_options)
                else:
                    seconds = time_curl(urls, sizes, work / "curl", *curl_options, "--parallel",
                                        "--parallel-immediate", "--parallel-max", str(PARALLEL))
                times[kind].append(seconds)
                connections[kind] = proxy.connections - before
                shutil.rmtree(work / "run", ignore_errors=True)
        medians = {kind: statistics.median(values) for kind, values in times.items()}
        for kind in kinds:
            rows.append((rtt, kind, medians[kind], medians["keep-alive"], medians["parallel"],
                         connections[kind], connections["keep-alive"], connections["parallel"]))
    return rows


def main():
    work = bench_update.fresh_work_folder("bench-network")
    if work is None:
        return 1
    try:
        old, new, changed, release, www, public_key = bench_update.publish_benchmark_release(work)
        names = ["ver.dat", "filelist.dat"] + [n.replace("\\", "/") for n in changed]
        sizes = [(www / "up1" / name).stat().st_size for name in names]
        served = sum(sizes)
        entries = {e[4]: e for e in e2e.read_list(www / "up1" / "filelist.dat")}
        print(f"release: {len(new)} files, {sum(map(len, new.values())) / 2**20:.0f} MiB; "
              f"{len(changed)} changed ({sum(entries[n][3] for n in changed)} zipped); "
              f"ver.dat, filelist.dat and the changed files: {served / 2**20:.1f} MiB "
              f"(signed: and release.dat, "
              f"{(www / 'up1s' / 'release.dat').stat().st_size / 1024:.0f} KiB)")
        print(f"link: {DEFAULT_RATE * 8 / 1e6:.0f} Mbit/s shared by every connection in both "
              f"directions; those bytes alone take {served / DEFAULT_RATE:.2f} s; "
              f"a new connection costs one round trip more")
        print(f"update.exe: the wall time of the whole run under Wine minus its "
              f"{CLOSING_PAUSE_S:.0f} s closing pause; medians of {ROUNDS} runs")

        template = e2e.Installation(work / "base", "http://127.0.0.1:9/up1", files=old)
        rows = []
        authority = e2e.TestAuthority(work / "ca", name="qvupdate bench authority")
        ca_pem = work / "ca" / "authority.pem"
        ca_pem.write_bytes(authority.cert.public_bytes(serialization.Encoding.PEM))
        chain = authority.issue("localhost")
        authority.trust()
        try:
            with e2e.Nginx(www, work) as nginx, \
                    e2e.Nginx(www, work, tls=chain, name="nginx-tls",
                              extra_locations=SESSION_REUSE) as nginx_tls:
                links = [(rtt, False) for rtt in RTTS_MS] + [(rtt, True) for rtt in HTTPS_RTTS_MS]
                for rtt, secure in links:
                    rows += time_link(rtt, secure, nginx_tls if secure else nginx, template,
                                      release, public_key, names, sizes, work, ca_pem)
        finally:
            authority.untrust()

        print()
        print("  round trip | update.exe s | curl keep-alive s | curl x6 s | update/curl x6 | "
              "update/keep-alive | connections: update.exe, keep-alive, x6")
        for rtt, kind, update_s, keep_s, parallel_s, *counts in rows:
            label = f"{rtt} ms" + ("" if kind == "unsigned" else " " + kind)
            print(f"{label:>12} | {update_s:12.2f} | {keep_s:17.2f} | {parallel_s:9.2f} | "
                  f"{update_s / parallel_s:14.2f} | {update_s / keep_s:17.2f} | "
                  f"{counts[0]}, {counts[1]}, {counts[2]}")
        print(f"(signed rows: the curl figures of the same round trip, which fetch no "
              f"release.dat; curl x6 with --parallel-immediate; https rows: update.exe and "
              f"curl over TLS, goal update/curl x6 <= 1.25)")
        return 0
    except Failure as failure:
        print(f"bench: {failure}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
