# The program's runs on a host: the plan's dry run, the update detached from the connection, one
# look at it, and the health gate's dry run. Every run reads the staged checksum lines and writes
# its report into the hold; paths are given relative to the tool directory.
from __future__ import annotations

import json
import os
import signal
import subprocess

from ansible_collections.orv.fleet.plugins.module_utils.host import (
    BUSY, HOLD, PROGRAM, RECORD, Refusal, flocked, lock_dir, now, ours, read_json, remove_hold, sha256, tail, verify,
    write_file)

SUMS = os.path.join(HOLD, "sums.sha256")


def _dry_run(workdir, program, info, report):
    argv = [program, "--dry-run", "--checksums", SUMS, "--report", os.path.join(HOLD, report), info]
    proc = subprocess.run(argv, cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, check=False)
    doc, why = read_json(os.path.join(workdir, HOLD, report))
    return dict(exit_status=proc.returncode % 256, report=doc, report_error=why,
                console=proc.stdout.decode("utf-8", "replace").splitlines()[-20:])


def _tool_lock(workdir):
    fd = lock_dir(workdir)
    if fd is None:
        raise Refusal("busy", "%s: an orvTQupdate run holds %s" % (BUSY, workdir))
    return fd


def plan(workdir, rollout, files, info, release=False):
    """The program's dry run with the staged files. Packages missing from the tool directory are
    linked into it from the hold for the dry run, and removed after it."""
    hold = ours(workdir, rollout)
    fd = lock_dir(hold)
    if fd is None:
        raise Refusal("busy", "a run holds %s" % hold)
    try:
        verify(hold, files)
        tool = _tool_lock(workdir)
        linked = []
        try:
            for f in files:
                if f.get("role") == "package" and not os.path.lexists(os.path.join(workdir, f["name"])):
                    linked.append(f["name"])
                    write_file(os.path.join(hold, "linked"), "\n".join(linked) + "\n")
                    os.link(os.path.join(hold, f["name"]), os.path.join(workdir, f["name"]))
        finally:
            os.close(tool)
        try:
            result = _dry_run(workdir, os.path.join(HOLD, PROGRAM), os.path.join(HOLD, info), "plan.json")
        finally:
            for name in linked:
                os.unlink(os.path.join(workdir, name))
            if linked:
                os.unlink(os.path.join(hold, "linked"))
        if release:
            remove_hold(hold)
    finally:
        os.close(fd)
    return dict(result, released=release)


def _detach(argv, workdir, hold, hold_fd, limit):
    """Starts ARGV in WORKDIR in a process of its own, detached from the connection, that waits
    for it (killing its whole group after LIMIT seconds) and records its end in job.json. The
    hold's lock passes to the run and the tool commands it starts. Returns the job's record."""
    job = os.path.join(hold, "job.json")
    ready, tell = os.pipe()
    child = os.fork()
    if child:
        os.close(tell)
        os.waitpid(child, 0)
        with os.fdopen(ready) as r:
            said = r.read()
        doc, _ = read_json(job)
        if not said or not isinstance(doc, dict):
            raise Refusal("failed", "the run did not start: %s" % (said or "its job ended at once"))
        return doc
    # The job: a session of its own, its output in the hold, nothing of the connection's.
    try:
        os.close(ready)
        os.setsid()
        if os.fork():
            os._exit(0)
        null = os.open(os.devnull, os.O_RDONLY)
        out = os.open(os.path.join(hold, "console.out"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(null, 0)
        os.dup2(out, 1)
        os.dup2(out, 2)
        for fd in range(3, 1024):
            if fd not in (tell, hold_fd):
                try:
                    os.close(fd)
                except OSError:
                    pass
        os.set_inheritable(hold_fd, True)
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGPIPE):
            signal.signal(sig, signal.SIG_DFL)
        record = dict(runner=os.getpid(), started=now(), limit=limit, argv=argv)
        try:
            proc = subprocess.Popen(argv, cwd=workdir, pass_fds=(hold_fd,), start_new_session=True)
        except OSError as e:
            os.write(tell, ("%s cannot be run: %s" % (argv[0], e.strerror)).encode())
            os._exit(1)
        record["program"] = proc.pid
        write_file(job, json.dumps(record) + "\n")
        os.write(tell, b"started")
        os.close(tell)
        try:
            code, timed_out = proc.wait(timeout=limit), False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            code, timed_out = proc.wait(), True
        record.update(ended=now(), returncode=code, timed_out=timed_out)
        write_file(job, json.dumps(record) + "\n")
    finally:
        os._exit(0)


def start(workdir, rollout, files, info, limit, check_mode=False):
    """Checks the staged files, puts them in place under the program's lock, forgets the host's
    record and starts the run."""
    hold = ours(workdir, rollout)
    fd = lock_dir(hold)
    if fd is None:
        raise Refusal("busy", "a run holds %s" % hold)
    try:
        tool = _tool_lock(workdir)
        try:
            verify(hold, files)
            if check_mode:
                return dict(changed=True, started=False)
            if os.path.lexists(os.path.join(workdir, RECORD)):
                os.unlink(os.path.join(workdir, RECORD))
            for f in files:
                os.replace(os.path.join(hold, f["name"]), os.path.join(workdir, f["name"]))
        finally:
            os.close(tool)
        argv = ["./" + PROGRAM, "--verify", "--checksums", SUMS, "--report", os.path.join(HOLD, "run.json"), info]
        job = _detach(argv, workdir, hold, fd, limit)
    finally:
        os.close(fd)
    return dict(changed=True, started=True, job=job)


def look(workdir, wait=0.0, lines=10):
    """One look at the run: whether it is over (waiting up to WAIT seconds for its end), the job's
    record, the report, and once it is over the last lines of the tool's output files."""
    hold = os.path.join(workdir, HOLD)
    if not os.path.isdir(hold):
        raise Refusal("failed", "the hold %s is gone; the run's report with it" % hold)
    fd = lock_dir(hold, wait)
    if fd is not None:
        os.close(fd)
    going = fd is None or flocked(workdir)
    job, _ = read_json(os.path.join(hold, "job.json"))
    report, why = read_json(os.path.join(hold, "run.json"))
    result = dict(done=not going, job=job, report=report, report_error=why, tails={})
    path = os.path.join(hold, "run.json")
    result["report_sha256"] = sha256(path) if os.path.isfile(path) else None
    if not going:
        adapters = (report.get("adapters") or []) if isinstance(report, dict) else []
        for a in adapters:
            if a.get("state") in ("failed", "unverified") and a.get("result_file"):
                result["tails"][a["result_file"]] = tail(os.path.join(workdir, a["result_file"]), lines)
        if not isinstance(report, dict) or report.get("finished") is None:
            result["tails"]["result.out"] = tail(os.path.join(workdir, "result.out"), lines)
            result["tails"]["console.out"] = tail(os.path.join(hold, "console.out"), lines)
    return result


def _ids(report):
    return [a.get("id") for a in (report or {}).get("adapters") or []]


def gate(workdir, rollout, info, found, ids):
    """The health gate's dry run in the tool directory, with the files the run put there: it must
    list as many adapters as the run found (FOUND), and their IDs must begin with the run's IDS."""
    hold = ours(workdir, rollout)
    fd = lock_dir(hold)
    if fd is None:
        raise Refusal("busy", "a run holds %s" % hold)
    try:
        result = _dry_run(workdir, "./" + PROGRAM, info, "check.json")
    finally:
        os.close(fd)
    again = result["report"] if isinstance(result["report"], dict) else {}
    again_ids = _ids(again)
    if again.get("adapters_found") != found or again_ids[:len(ids)] != ids:
        why = "; ".join(again.get("errors") or []) or " ".join(result["console"][-2:])
        raise Refusal("unhealthy", "the dry run after the run lists %s adapters (%s), the run found %s (%s)%s" % (
            again.get("adapters_found"), " ".join(map(str, again_ids)), found, " ".join(map(str, ids)),
            ": " + why if again.get("adapters_found") is None and why else ""), report=result["report"])
    return result
