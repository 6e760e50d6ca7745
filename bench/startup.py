#!/usr/bin/env python3
"""startup - how long a whole `nsadmin -l` takes beside spawning /bin/true.

nsadmin does one exchange and exits, so its start-up (loading and relocating
what it links, the first configuration read, the local host lookup) is most
of its cost.  This script starts a stand-in name server (nsmd, preloaded with
one registration), then spawns `/bin/true` and `nsadmin -l NAME`, RUNS
times each in rounds (a new random order each round), and reports the median wall time of each (spawn to reaped
exit) and their ratio, then the peak resident memory of `nsadmin -l` (and of
/bin/true beside it) as GNU time reports it.  With --max-ratio it exits 1
when the ratio is above it.

Beside the wall time it reports, for each, the median processor time (user
and system) the run itself used, and `nsadmin` without options in the same
rounds: loading and exiting only.  It also runs, in the same rounds, the
floor (startup_floor, built beside nsadmin): a plain C
program that does only the system work `nsadmin -l` cannot leave out (read
the configuration files, look up the local host and the master, one round
trip to the master) and nothing else, so no `nsadmin -l` that keeps that work
can be faster; the part of nsadmin's time above the floor is its own.

The wall time that nsadmin spends beyond its processor time is waiting, mostly for the stand-in's reply and,
on a busy machine, for a processor; /bin/true waits for nothing.  The load
average before and after is printed because the ratio depends on it.

It runs inside the network sandbox (scripts/netsandbox), re-executing itself
there when started anywhere else; nsmd is stopped before it exits.

Usage: bench/startup.py [--bin DIR] [--runs N] [--namesvc VALUE] [--also NSADMIN]...
                        [--max-ratio R]

--namesvc gives TALVEN_NAMESVC (default nsm-master.16024, a host name that
nsadmin resolves through /etc/hosts; 198.18.0.10.16024 skips that lookup).
--also measures another nsadmin binary in the same rounds (e.g. one
linked differently), reported beside the first.
"""
import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MASTER = "198.18.0.10"  # nsm-master inside the sandbox
NAME = r"\\nstest\bench"
REGISTERED = "198.18.0.1 (4000) (auth=hello)"
PAUSE = 0.003


def spawn_timed(argv, env):
    """Wall time in seconds from spawn to reaped exit, the exit status, and
    the processor time (user and system) in seconds that the run used.

    Each run starts after a pause of PAUSE seconds, long enough for the
    stand-in to finish with the previous run's connection: without it a run
    that follows one that talked to the stand-in shares the processors with
    the stand-in's leftover work (in a fixed order, the same binary measured
    0.3 ms slower right after another nsadmin than right after /bin/true)."""
    with open(os.devnull, "wb") as null:
        time.sleep(PAUSE)
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, env,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    return elapsed, os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def peak_rss(argv, env):
    """The largest peak resident set, in KiB, of five runs.  Measured by GNU
    time, which starts the program from a small process of its own: a child
    spawned from this interpreter would count the interpreter's pages, which
    it shares until exec, as its own peak."""
    peaks = []
    for _ in range(5):
        run = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, env=env, text=True,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
        peaks.append(int(run.stderr.split()[-1]))
    return max(peaks)


def start_nsmd(bindir, workdir):
    preload = os.path.join(workdir, "preload")
    with open(preload, "w") as f:
        f.write("service %s 198.18.0.1 4000 3 1 hello\n" % NAME)
    nsmd = subprocess.Popen([os.path.join(bindir, "nsmd"), "-a", MASTER, "-f", preload],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = nsmd.stdout.readline()  # "ready ..." once every socket is bound
    if not line.startswith("ready"):
        nsmd.kill()
        sys.exit("startup: nsmd did not start: %r" % line)
    return nsmd


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"))
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--namesvc", default="nsm-master.16024")
    parser.add_argument("--also", action="append", default=[])
    parser.add_argument("--max-ratio", type=float)
    args = parser.parse_args()
    if args.runs < 30:
        parser.error("at least 30 runs of each")

    # re-executed inside the sandbox unless already in the namespace it made
    if os.environ.get("NS_SANDBOX_NETNS") != os.readlink("/proc/self/ns/net"):
        script = os.path.join(ROOT, "scripts", "netsandbox")
        os.execv(script, [script, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

    bindir = os.path.abspath(args.bin)
    nsadmin = os.path.join(bindir, "nsadmin")
    with tempfile.TemporaryDirectory() as work:
        conf = os.path.join(work, "talven.conf")
        with open(conf, "w") as f:
            f.write("TALVEN_TMPDIR=%s\nTALVEN_NAMESVC=%s\n" % (work, args.namesvc))
        env = {"PATH": "/usr/bin:/bin", "HOME": work, "TALVEN_CONFIG": conf,
               "NS_SANDBOX_NETNS": os.environ["NS_SANDBOX_NETNS"]}
        nsmd = start_nsmd(bindir, work)
        try:
            check = subprocess.run([nsadmin, "-l", NAME], env=env, capture_output=True,
                                   text=True, timeout=30)
            if check.stdout.strip() != REGISTERED:
                sys.exit("startup: nsadmin -l printed %r, expected %r"
                         % (check.stdout, REGISTERED))
            admins = [nsadmin] + [os.path.abspath(a) for a in args.also]
            floor = os.path.join(bindir, "startup_floor")
            host, _, port = args.namesvc.rpartition(".")
            # what each round runs, by label
            runs = [("true", ["/bin/true"]), ("admin", [nsadmin, "-l", NAME]),
                    ("bare", [nsadmin])]
            runs += [("also " + a, [a, "-l", NAME]) for a in admins[1:]]
            if os.path.exists(floor):
                runs.append(("floor", [floor, host, port]))
            for label, argv in runs:  # each must work, and warms the page cache
                status = spawn_timed(argv, env)[1]
                if status != 0 and label != "bare":
                    sys.exit("startup: %s exited %d" % (" ".join(argv), status))
            load_before = load_average()
            wall, cpu = {label: [] for label, _ in runs}, {label: [] for label, _ in runs}
            for _ in range(args.runs):
                # a new order each round, so that no program always follows
                # the same one
                random.shuffle(runs)
                for label, argv in runs:
                    t, status, used = spawn_timed(argv, env)
                    if status != 0 and label != "bare":
                        sys.exit("startup: %s exited %d" % (" ".join(argv), status))
                    wall[label].append(t)
                    cpu[label].append(used)
            load_after = load_average()
            admin_rss = peak_rss([nsadmin, "-l", NAME], env)
            true_rss = peak_rss(["/bin/true"], env)
        finally:
            nsmd.send_signal(signal.SIGTERM)
            nsmd.wait(timeout=10)

    def ms(values):
        return statistics.median(values) * 1000

    true_ms = ms(wall["true"])
    ratio = ms(wall["admin"]) / true_ms

    def report(title, label):
        print("%-21s %.3f ms (processor %.3f ms), ratio %.2f"
              % (title + ":", ms(wall[label]), ms(cpu[label]), ms(wall[label]) / true_ms))

    print("runs of each:         %d (in a new random order each round)" % args.runs)
    print("load average:         %s before, %s after" % (load_before, load_after))
    print("/bin/true median:     %.3f ms (processor %.3f ms)" % (true_ms, ms(cpu["true"])))
    report("nsadmin -l median", "admin")
    report("nsadmin alone", "bare")
    if "floor" in wall:
        report("floor", "floor")
    for a in admins[1:]:
        report(a + " -l", "also " + a)
    print("nsadmin -l peak RSS:  %d KiB (/bin/true: %d KiB)" % (admin_rss, true_rss))
    if args.max_ratio is not None and ratio > args.max_ratio:
        print("startup: ratio %.2f is above %.2f" % (ratio, args.max_ratio))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
