"""The memory an oversized ver.dat answer costs update.exe.

An installation of version 1.0.0.1 runs update.exe /silence against the hostile test
server on 127.0.0.1, once with a normal ver.dat (the installed version: nothing to do)
and once with a ver.dat answer whose Content-Length announces 1 GiB (and whose body
would come if asked for). The figure is the peak working set of the update.exe process
(its peak resident set, read from the kernel when it ends), as a ratio of the huge
answer's run to the normal run. The version check takes at most 4096 bytes, so the
ratio stays near 1; a client that trusts the announced length grows by the gigabyte.
"""

import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(os.environ["QV_SOURCE_DIR"])
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import e2e_lib as e2e  # noqa: E402
from hostile_server import HostileServer  # noqa: E402

ROUNDS = int(os.environ.get("QV_BENCH_ROUNDS", "3"))
ANSWERS = {
    "normal ver.dat": {"body": e2e.READER_VERSION},
    "ver.dat announced as 1 GiB": {"body_size": 1 << 30},
}


def peak_working_set_kib(app) -> int:
    """Runs the installation's update.exe and returns its peak resident set in KiB."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen([e2e.wine_program(), app.win("update.exe"), "/silence"],
                                   stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, cwd=app.dir,
                                   env=e2e.wine_environment())
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 2:
        raise SystemExit(f"update.exe ended with {process.returncode}")
    return usage.ru_maxrss


def main():
    e2e.SCRATCH_DIR.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench-answers-", dir=e2e.SCRATCH_DIR) as work, \
            HostileServer() as server:
        peaks = {label: [] for label in ANSWERS}
        for round_number in range(ROUNDS):
            for label, answer in ANSWERS.items():
                server.script({"/up1/ver.dat": answer}, reset=True)
                app = e2e.Installation(Path(work) / f"{round_number}-{len(peaks[label])}"
                                       f"-{list(ANSWERS).index(label)}", server.url("/up1"))
                peaks[label].append(peak_working_set_kib(app))
        medians = {label: statistics.median(values) for label, values in peaks.items()}
        for label, median in medians.items():
            print(f"update.exe peak working set, {label}: {median / 1024:.1f} MiB "
                  f"(median of {ROUNDS})")
        normal, huge = medians.values()
        print(f"ratio, 1 GiB answer / normal answer: {huge / normal:.2f} (goal: about 1)")


if __name__ == "__main__":
    main()
