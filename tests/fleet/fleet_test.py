#!/usr/bin/env python3
"""Runs the fleet example's playbook for real against hosts that are all this machine, each with a
tool directory of its own and simulated adapters, reached by the local connection, by ssh to a
closed port, or by the flaky connection (connection_plugins/flaky.py) that drops, hangs or changes
a staged file. Independent scenarios run side by side; each checks the fetched reports, the fleet
report (summary.csv, parsed) and the hosts' directories, and waits only on files and states.

Usage: fleet_test.py PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR [SCENARIO...]   (exit 77: no Ansible)
"""
import concurrent.futures
import csv
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HOLD = ".orvTQupdate-rollout"
RECORD = "orvTQupdate-applied.sha256"
OK = "0x1111, KEP 4-port RAID controller"
NIC = "0x4444, KEP 1-port network adapter"
print_lock = threading.Lock()


class Scenario:
    """A scratch directory with its hosts, inventory and variables, and the checks made on it."""

    def __init__(self, name, args):
        self.name, self.args = name, args
        self.dir = os.path.join(args.scratch, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "hosts"))
        self.hosts, self.failures, self.lines = [], 0, []
        self.vars = dict(orv_program=args.program, orv_info_file=self.path("info.txt"),
                         orv_packages=[os.path.join(args.examples, "packages", "raid4-fw-2.10.pkg")],
                         orv_report_dir=self.path("reports"), orv_poll=1, orv_settle_seconds=0,
                         orv_health_timeout=3, orv_step_timeout=60)
        with open(os.path.join(args.examples, "info.txt")) as f:
            self.write("info.txt", f.readline())

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def host(self, name, *machine, **hostvars):
        d = self.path("hosts", name)
        os.makedirs(d)
        shutil.copy(self.args.tool, os.path.join(d, "tarvo"))
        with open(os.path.join(d, "tarvo-machine.txt"), "w") as f:
            f.write("".join(line + "\n" for line in machine))
        hostvars.setdefault("ansible_connection", "local")
        if hostvars["ansible_connection"] == "flaky":
            hostvars["flaky_state"] = self.path("flaky-%s.json" % name)
        self.hosts.append((name, dict(hostvars, orv_workdir=d)))
        return d

    def playbook(self, log, *extra, env=None, background=False, groupvars=None):
        inventory = {"all": {"children": {"adapter_hosts": {
            "vars": dict({"ansible_python_interpreter": "/usr/bin/python3"}, **(groupvars or {})),
            "hosts": dict(self.hosts)}}}}
        self.write("inventory.json", json.dumps(inventory))
        self.write("vars.json", json.dumps(self.vars))
        argv = ["ansible-playbook", "-f", "10", "-i", self.path("inventory.json"), "-e", "@" + self.path("vars.json"),
                os.path.join(self.args.examples, "fleet", "update.yml")] + list(extra)
        environment = dict(self.args.env, **(env or {}))
        out = open(self.path(log), "w")
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=environment, cwd=self.dir,
                                start_new_session=True)
        if background:
            return proc
        status = proc.wait()
        out.close()
        self.say("--- %s: ansible-playbook exit status %d" % (log, status))
        return status

    def say(self, text):
        self.lines.append(text)

    def check(self, what, ok):
        self.say(("ok: " if ok else "FAILED: ") + "%s: %s" % (self.name, what))
        if not ok:
            self.failures += 1

    def summary(self, reports="reports"):
        with open(self.path(reports, "summary.csv")) as f:
            return list(csv.DictReader(f))

    def outcomes(self, reports="reports"):
        return {r["host"]: r["outcome"] for r in self.summary(reports)}

    def states(self, host, reports="reports"):
        return [r["state"] for r in self.summary(reports) if r["host"] == host]

    def kept(self, host, reports="reports"):
        with open(self.path(reports, host + ".outcome.json")) as f:
            return json.load(f)

    def said(self, host, text, reports="reports"):
        return any(text in line for line in self.kept(host, reports)["message"])

    def report(self, host):
        with open(self.path("reports", host + ".json")) as f:
            return json.load(f)

    def flashes(self, host):
        log = self.path("hosts", host, "tarvo.log")
        return len(open(log).read().splitlines()) if os.path.exists(log) else 0

    def untouched(self, host):
        return not any(os.path.lexists(self.path("hosts", host, f))
                       for f in ("orvTQupdate", "info.txt", "tarvo.log", HOLD, "raid4-fw-2.10.pkg"))

    def held(self, host):
        return os.path.lexists(self.path("hosts", host, HOLD))

    def log_has(self, log, text):
        with open(self.path(log)) as f:
            return text in f.read()


def wait_for(condition, proc=None, deadline=None):
    """Waits until CONDITION holds, looking every 0.1 s; False once the process PROC has ended, or
    at DEADLINE (a monotonic time), whichever comes first."""
    while not condition():
        if proc is not None and proc.poll() is not None or deadline is not None and time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


def tool_wrapper(d, after_update):
    """Puts a script in the place of the host's tool that runs AFTER_UPDATE after each update."""
    os.rename(os.path.join(d, "tarvo"), os.path.join(d, "tarvo.real"))
    with open(os.path.join(d, "tarvo"), "w") as f:
        f.write('#!/bin/sh\n./tarvo.real "$@"; status=$?\n[ "$3" != -updatepkg ] || %s\nexit $status\n' % after_update)
    os.chmod(os.path.join(d, "tarvo"), 0o755)


def precheck(s):
    """The controller's checks: nothing is touched when the info file names a package not sent,
    when the inventory sets a variable that only -e may, or when a host sends other files."""
    s.host("a", OK)
    s.host("b", OK)
    with open(os.path.join(s.args.examples, "info.txt")) as f:
        s.write("info-all.txt", f.read())
    s.vars["orv_info_file"] = s.path("info-all.txt")
    s.check("a package not sent: the play fails", s.playbook("unsent.log") == 2)
    s.check("a package not sent: named", s.log_has("unsent.log", 'the info file names packages that are not sent: '
                                                                 '"hba2-fw-1.07.pkg"'))
    s.vars["orv_info_file"] = s.path("info.txt")
    s.check("orv_serial in the inventory: the play fails",
            s.playbook("placed.log", groupvars={"orv_max_fail_percentage": 50}) == 2)
    s.check("orv_serial in the inventory: the variable and where",
            s.log_has("placed.log", "orv_max_fail_percentage is set in the inventory for group adapter_hosts"))
    del s.vars["orv_info_file"]
    s.hosts[0][1]["orv_info_file"] = s.path("info.txt")
    s.hosts[1][1]["orv_info_file"] = s.path("info-all.txt")
    s.check("another info file for one host: the play fails", s.playbook("differ.log") == 2)
    s.check("another info file for one host: said", s.log_has("differ.log", "orv_info_file must be the same for every host"))
    s.check("no host touched", s.untouched("a") and s.untouched("b"))


def plan(s):
    """--check plans every host and changes nothing; --tags report rebuilds the summary."""
    s.host("a", OK, NIC)
    s.host("nic", NIC)
    status = s.playbook("plan.log", "--check")
    s.check("the plan passes", status == 0)
    outcomes = s.outcomes("reports/check")
    s.check("outcomes", outcomes == {"a": "would update", "nic": "nothing covered"})
    s.check("the adapters' states", s.states("a", "reports/check") == ["would update", "not covered"])
    s.check("nothing flashed, nothing left, no rollout record", s.flashes("a") == 0 and not s.held("a")
            and sorted(f for f in os.listdir(s.path("hosts", "a")) if not f.startswith(("config-", "orvTQupdate.history"))
                       ) == ["list.out", "ssdid.out", "tarvo", "tarvo-machine.txt"]
            and not os.path.exists(s.path("reports", "summary.csv")))
    os.unlink(s.path("reports", "check", "summary.csv"))
    s.check("--tags report rebuilds the summary", s.playbook("rebuild.log", "--check", "--tags", "report") == 0
            and s.outcomes("reports/check") == outcomes)


def canary(s):
    """Under the free strategy too, the canary is the first host with something to update, a
    percentage counts only such hosts, and a failed batch stops the rollout."""
    s.host("skip1", NIC)
    for name in "abcd":
        s.host(name, OK + (", exit=3" if name == "b" else ""))
    status = s.playbook("canary.log", "-e", '{"orv_serial": [1, "50%"]}', env={"ANSIBLE_STRATEGY": "free"})
    s.check("the play fails", status == 2)
    s.check("outcomes", s.outcomes() == {"skip1": "nothing covered", "a": "updated", "b": "failed", "c": "updated",
                                         "d": "not touched"})
    s.check("the uncovered host and the host after the stop are untouched", s.untouched("skip1") and s.untouched("d"))
    s.check("the failed adapter's tool output", s.said("b", "Update failed with error code 3."))
    s.check("the run verified the adapter it updated", [a["verified"] for a in s.report("a")["adapters"]] == [True])
    s.check("holds released", not any(s.held(h) for h in "abc"))


def unreachable(s):
    """Unreachable at every step counts against the threshold, even with any_errors_fatal set."""
    port = socket.socket()
    port.bind(("127.0.0.1", 0))
    closed = port.getsockname()[1]
    port.close()
    s.host("sshdown", OK, ansible_connection="ssh", ansible_host="127.0.0.1", ansible_port=closed)
    s.host("stagedrop", OK, ansible_connection="flaky", flaky_drop_put="raid4-fw-2.10.pkg", flaky_drop_put_at=2)
    # Down from the run's start (its job's record), so from the watch's first look: once, and for good.
    d = s.host("watchdrop", OK, ansible_connection="flaky", flaky_down_times=1)
    s.hosts[-1][1]["flaky_down"] = os.path.join(d, HOLD, "job.json")
    d = s.host("dropped", OK + ", ms=1000", ansible_connection="flaky")
    s.hosts[-1][1]["flaky_down"] = os.path.join(d, HOLD, "job.json")
    s.host("peer", OK)
    s.host("later", OK)
    status = s.playbook("unreachable.log", "-e", "orv_serial=5", env={"ANSIBLE_ANY_ERRORS_FATAL": "True"})
    s.check("the play fails", status == 2)
    s.check("outcomes", s.outcomes() == {"sshdown": "unreachable", "stagedrop": "unreachable", "watchdrop": "updated",
                                         "dropped": "unreachable", "peer": "updated", "later": "not touched"})
    s.check("unreachable while staging: never flashed", s.flashes("stagedrop") == 0
            and s.said("stagedrop", "could not be reached at step staging the files"))
    s.check("a dropped look: judged from its report, record kept, hold released",
            json.load(open(s.path("flaky-watchdrop.json")))["down"] >= 1 and s.flashes("watchdrop") == 1
            and not s.held("watchdrop")
            and os.path.exists(s.path("hosts", "watchdrop", RECORD)))
    wait_for(lambda: "ended" in open(s.path("hosts", "dropped", HOLD, "job.json")).read())
    s.check("dropped during its run: flashed, its run may go on, hold kept",
            s.flashes("dropped") == 1 and s.said("dropped", "its run may go on there") and s.held("dropped"))
    s.check("the others of the batch released", not s.held("peer") and s.untouched("later"))


def resume(s):
    """A host is skipped only on its own record (the packages in any order); a reinstalled host
    under a known name is updated; --limit keeps the other hosts' rows."""
    s.write("info.txt", "0x1111,KEP 4-port RAID controller,raid4-fw-2.10.pkg\n"
                        "0x3333,KEP 8-port RAID controller,raid8-fw-3.02.pkg\n")
    packages = [os.path.join(s.args.examples, "packages", p) for p in ("raid4-fw-2.10.pkg", "raid8-fw-3.02.pkg")]
    s.vars["orv_packages"] = packages
    s.host("p", OK)
    s.host("q", OK, "0x3333, KEP 8-port RAID controller")
    s.host("r", OK + ", exit=3")
    one_batch = ["-e", "orv_serial=0", "-e", "orv_max_fail_percentage=100"]
    s.check("first rollout: r fails", s.playbook("first.log", *one_batch) == 2)
    s.check("first rollout: outcomes", s.outcomes() == {"p": "updated", "q": "updated", "r": "failed"})
    s.check("first rollout: the record is the sorted checksum lines",
            open(s.path("hosts", "p", RECORD)).read().count("\n") == 3)
    shutil.rmtree(s.path("hosts", "q"))
    s.hosts = [h for h in s.hosts if h[0] != "q"]
    s.host("q", OK, "0x3333, KEP 8-port RAID controller")
    s.vars["orv_packages"] = packages[::-1]
    s.check("second rollout passes", s.playbook("second.log", "--limit", "p,q", *one_batch) == 0)
    s.check("second rollout: p skipped, q updated again, r's row kept",
            s.outcomes() == {"p": "already updated", "q": "updated", "r": "failed"})
    s.check("second rollout: p not flashed again, the reinstalled q flashed", s.flashes("p") == 1 and s.flashes("q") == 2)
    s.check("r's adapters kept", s.states("r") == ["failed"])


def tamper(s):
    """Every staged file is checked on the host: the program before the plan, the info file
    immediately before the run, although the plan passed with it."""
    d = s.host("tinfo", OK, ansible_connection="flaky", flaky_corrupt_from=2)
    s.hosts[-1][1]["flaky_corrupt"] = os.path.join(d, HOLD, "info.txt")
    d = s.host("tprog", OK, ansible_connection="flaky")
    s.hosts[-1][1]["flaky_corrupt"] = os.path.join(d, HOLD, "orvTQupdate")
    s.host("later", OK)
    status = s.playbook("tamper.log", "-e", "orv_serial=2")
    s.check("the play fails", status == 2)
    s.check("outcomes", s.outcomes() == {"tinfo": "refused", "tprog": "refused", "later": "not touched"})
    s.check("the changed files are named", s.said("tinfo", "the staged file info.txt does not match")
            and s.said("tprog", "the staged file orvTQupdate does not match"))
    s.check("nothing was flashed", s.flashes("tinfo") == 0 and s.flashes("tprog") == 0 and s.untouched("later"))


def after(s):
    """After the run: the health gate (a host gone, an adapter gone, a host that hangs), a lost
    and a timed-out run, and a host where a run of the program is going on."""
    s.host("gone", OK, ansible_connection="flaky", flaky_from_reset=True)
    s.hosts[-1][1]["flaky_down"] = s.path("hosts", "gone", "result-1.out")
    s.host("hang", OK, ansible_connection="flaky", flaky_from_reset=True, flaky_hang=True)
    s.hosts[-1][1]["flaky_down"] = s.path("hosts", "hang", "result-1.out")
    # The new firmware takes the HBA away: the tool lists it no more after the RAID's flash, and
    # the RAID's verifying query finds another adapter at its place.
    d = s.host("shrinking", "0x2222, KEP 2-port HBA", OK)
    tool_wrapper(d, "sed -i /0x2222/d tarvo-machine.txt")
    # ... or brings a new adapter up: the run verifies the RAID, the health gate sees three adapters.
    d = s.host("growing", "0x2222, KEP 2-port HBA", OK)
    tool_wrapper(d, "echo '0x3333, KEP 8-port RAID controller' >> tarvo-machine.txt")
    s.host("lost", OK + ", ms=60000")
    s.host("hung", OK + ", ms=60000", orv_timeout=2)
    manual = s.host("manual", OK)
    # A run of the program in progress there: its lock on the tool directory, until released.
    release = s.path("release-manual")
    holder = subprocess.Popen(["flock", manual, "sh", "-c", 'touch "$1.held"; while [ ! -e "$1" ]; do sleep 0.1; done',
                               "sh", release])
    wait_for(lambda: os.path.exists(release + ".held"))
    proc = s.playbook("after.log", "-e", "orv_serial=0", "-e", "orv_max_fail_percentage=100", background=True)
    # The lost host's job dies as in a crash: the job, the program and the tool, all at once.
    if wait_for(lambda: os.path.exists(s.path("hosts", "lost", "tarvo.log")), proc):
        with open(s.path("hosts", "lost", HOLD, "job.json")) as f:
            job = json.load(f)
        os.kill(job["runner"], signal.SIGKILL)
        os.killpg(job["program"], signal.SIGKILL)
    status = proc.wait()
    open(release, "w").close()
    holder.wait()
    s.say("--- after.log: ansible-playbook exit status %d" % status)
    s.check("the play fails", status == 2)
    s.check("outcomes", s.outcomes() == {"gone": "unhealthy", "hang": "unhealthy", "shrinking": "failed",
                                         "growing": "unhealthy",
                                         "lost": "lost", "hung": "timed out", "manual": "busy"})
    s.check("the gate: no answer within orv_health_timeout", s.said("gone", "within orv_health_timeout (3 s)")
            and s.said("hang", "within orv_health_timeout (3 s)"))
    s.check("the gate: the dry run lists other adapters", s.said(
        "growing", "the dry run after the run lists 3 adapters (0x2222 0x1111 0x3333), the run found 2 (0x2222 0x1111)"))
    s.check("an adapter that does not answer after its update", s.said(
        "shrinking", "adapter 2 (ID 0x1111, package raid4-fw-2.10.pkg) does not answer with its ID after its update"))
    s.check("lost: the adapter and the tool's last output", s.said("lost", "the job is gone (a crash, a reboot, a kill) "
                                                                          "while the run was at adapter 1")
            and s.said("lost", "Applying package raid4-fw-2.10.pkg"))
    s.check("timed out: the adapter", s.said("hung", "the run was killed at orv_timeout (2 s) while the run was at adapter 1"))
    s.check("busy: said, nothing copied", s.said("manual", "another rollout or run is in progress on this host")
            and s.flashes("manual") == 0 and not s.held("manual"))
    s.check("the hung host's hold stays for the next rollout", s.held("hang") and s.held("gone"))


def interrupt(s):
    """Ctrl-C on the controller leaves the host in progress interrupted, not untouched; the next
    rollout collects its hold once the run is over: fetched, gated and judged, not flashed again."""
    s.host("s", OK + ", ms=5000")
    proc = s.playbook("first.log", background=True)
    started = wait_for(lambda: os.path.exists(s.path("hosts", "s", "tarvo.log")), proc)
    while proc.poll() is None:  # Ctrl-C, again while the first is not yet heard
        os.killpg(proc.pid, signal.SIGINT)
        wait_for(lambda: False, deadline=time.monotonic() + 0.5, proc=proc)
    s.check("the run had started", started)
    s.check("interrupted", s.outcomes() == {"s": "interrupted"})
    owner = json.load(open(s.path("hosts", "s", HOLD, "owner.json")))
    s.check("the hold names its owner", owner.get("user") and owner.get("controller") and owner.get("pid"))
    wait_for(lambda: "ended" in open(s.path("hosts", "s", HOLD, "job.json")).read())
    s.check("the next rollout passes", s.playbook("second.log") == 0)
    s.check("collected and judged updated", s.outcomes() == {"s": "updated"} and s.flashes("s") == 1)
    s.check("what the hold held is on the controller", os.path.exists(s.path("reports", "s.held", "run.json")))
    s.check("the hold released, the record kept", not s.held("s") and os.path.exists(s.path("hosts", "s", RECORD)))


def write_failure(s):
    """A report that cannot be written on the controller stops the rollout after its batch, and
    the summary still tells what happened to every host."""
    for name in ("w1", "w2", "w3"):
        s.host(name, OK)
    os.makedirs(s.path("reports", "w2.json"))
    status = s.playbook("write.log", "-e", "orv_serial=2", "-e", "orv_max_fail_percentage=100")
    s.check("the play fails, naming the path", status == 2 and s.log_has("write.log", s.path("reports", "w2.json")))
    s.check("outcomes", s.outcomes() == {"w1": "updated", "w2": "updated", "w3": "not touched"})
    s.check("the batch was flashed, the next not", s.flashes("w1") == 1 and s.flashes("w2") == 1 and s.untouched("w3"))


SCENARIOS = [after, unreachable, canary, resume, tamper, interrupt, write_failure, plan, precheck]


class Args:
    pass


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    if not shutil.which("ansible-playbook"):
        print("ansible-playbook is not installed (Debian package ansible-core); skipped")
        return 77
    args = Args()
    args.program, args.tool, args.examples, args.scratch = [os.path.abspath(a) for a in sys.argv[1:5]]
    wanted = sys.argv[5:]
    shutil.rmtree(args.scratch, ignore_errors=True)
    os.makedirs(args.scratch)
    # Ansible keeps its files under the scratch directory and reads no configuration of the machine's.
    home = os.path.join(args.scratch, "ansible")
    args.env = dict(os.environ, ANSIBLE_HOME=home, ANSIBLE_LOCAL_TEMP=home + "/tmp", ANSIBLE_REMOTE_TEMP=home + "/tmp",
                    ANSIBLE_CONFIG=os.path.join(args.scratch, "ansible.cfg"), ANSIBLE_PIPELINING="1",
                    ANSIBLE_CONNECTION_PLUGINS=os.path.join(HERE, "connection_plugins"), ANSIBLE_NOCOLOR="1",
                    ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_HOST_KEY_CHECKING="0", LC_ALL="C.UTF-8", LANG="C.UTF-8")
    open(os.path.join(args.scratch, "ansible.cfg"), "w").close()
    chosen = [f for f in SCENARIOS if not wanted or f.__name__ in wanted]
    started = time.monotonic()
    failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        def run(f):
            s = Scenario(f.__name__, args)
            began = time.monotonic()
            try:
                f(s)
            except Exception as e:  # a scenario that breaks is a failure of its own, the others go on
                s.check("ran to the end (%s: %s)" % (type(e).__name__, e), False)
            s.say("--- %s: %.0f s" % (f.__name__, time.monotonic() - began))
            with print_lock:
                print("\n".join(s.lines), flush=True)
            return s.failures
        failures = sum(pool.map(run, chosen))
    print("fleet test: %.0f s" % (time.monotonic() - started))
    if failures:
        print("%d check(s) failed; the scenarios' logs are in %s" % (failures, args.scratch))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
