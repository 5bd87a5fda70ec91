# The host side of a rollout, around one tool directory: its hold, the staged files, the run and
# the record of what the host was updated with. Plain functions, called by the modules and by the
# unit tests; a refusal is raised as Refusal and becomes a failed task with an outcome.
from __future__ import annotations

import base64
import errno
import fcntl
import json
import os
import shutil
import signal
import time

from ansible_collections.orv.fleet.plugins.module_utils.sent import digest as sha256

HOLD = ".orvTQupdate-rollout"
RECORD = "orvTQupdate-applied.sha256"
PROGRAM = "orvTQupdate"
BUSY = "another rollout or run is in progress on this host"
# What a hold keeps besides the staged files, fetched whole when a hold is collected.
KEPT = ("owner.json", "sums.sha256", "job.json", "run.json", "console.out")
FETCH_LIMIT = 1 << 20


class Refusal(Exception):
    """A step that cannot go on: OUTCOME is the host's outcome, the message says why."""

    def __init__(self, outcome, msg, **details):
        super().__init__(msg)
        self.outcome = outcome
        self.msg = msg
        self.details = details


def now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def sorted_lines(text):
    return sorted(line for line in (text or "").splitlines() if line.strip())


def write_file(path, data, mode=0o644):
    """Writes a new file in place of PATH: a temporary file beside it, flushed, renamed."""
    if isinstance(data, str):
        data = data.encode()
    temp = "%s.%d.tmp" % (path, os.getpid())
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, mode)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)
        os.replace(temp, path)
    except BaseException:
        if os.path.lexists(temp):
            os.unlink(temp)
        raise


def read_text(path, limit=FETCH_LIMIT):
    """The file's text (None when it is missing); raises OSError when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read(limit).decode("utf-8", "replace")
    except FileNotFoundError:
        return None


def read_json(path):
    """(document, None), (None, None) when missing, or (None, why) when it cannot be read."""
    try:
        text = read_text(path)
    except OSError as e:
        return None, "%s cannot be read: %s" % (path, e.strerror)
    if text is None:
        return None, None
    try:
        return json.loads(text), None
    except ValueError as e:
        return None, "%s is not a JSON document: %s" % (path, e)


def tail(path, lines=10):
    try:
        text = read_text(path)
    except OSError as e:
        return ["(%s)" % e.strerror]
    return ["(missing)"] if text is None else text.splitlines()[-lines:]


class _Late(Exception):
    pass


def _on_alarm(signum, frame):
    raise _Late()


def lock_dir(path, wait=0.0):
    """An exclusive flock on the directory PATH, as an open descriptor, or None when another
    process holds it (after waiting up to WAIT seconds)."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if wait <= 0:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        old = signal.signal(signal.SIGALRM, _on_alarm)
        signal.setitimer(signal.ITIMER_REAL, wait)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        return fd
    except (BlockingIOError, _Late):
        os.close(fd)
        return None
    except BaseException:
        os.close(fd)
        raise


def flocked(path, locks="/proc/locks"):
    """Whether any process holds a flock on PATH, read from the kernel's table (so that looking
    never keeps a starting run out). Matched by inode number: a doubt counts as held."""
    inode = os.stat(path).st_ino
    try:
        with open(locks) as f:
            table = f.read().splitlines()
    except OSError:
        return True
    for line in table:
        words = line.split()
        if "FLOCK" in words and "->" not in words and len(words) > 5:
            if words[5].rsplit(":", 1)[-1] == str(inode):
                return True
    return False


def alive(workdir):
    """Whether a run of this hold, or any run in the tool directory, is still going on."""
    fd = lock_dir(os.path.join(workdir, HOLD))
    if fd is None:
        return True
    os.close(fd)
    return flocked(workdir)


def owner_text(hold):
    doc, _ = read_json(os.path.join(hold, "owner.json"))
    if not isinstance(doc, dict):
        return "owner unknown"
    return "%s@%s, process %s, since %s" % (doc.get("user"), doc.get("controller"), doc.get("pid"), doc.get("taken"))


def check_workdir(workdir):
    tool = os.path.join(workdir, "tarvo")
    if not os.path.isdir(workdir) or not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
        raise Refusal("failed", "%s is missing or not executable; nothing was copied" % tool)


def ours(workdir, rollout):
    """Checks that the hold is this rollout's; returns its path."""
    hold = os.path.join(workdir, HOLD)
    doc, _ = read_json(os.path.join(hold, "owner.json"))
    if not isinstance(doc, dict) or doc.get("rollout") != rollout:
        raise Refusal("busy", "%s: %s is no longer this rollout's (%s)" % (BUSY, hold, owner_text(hold)))
    return hold


def record(workdir):
    try:
        return read_text(os.path.join(workdir, RECORD))
    except OSError:
        return None


def verdict(report, stale_sums, sums):
    """What a collected hold's report means for the host: gate (a finished update with the same
    files: gated and judged, not flashed again), lost (unfinished), judged (another finished
    outcome) or none (no report, or an update with other files: the host is handled as usual)."""
    if not isinstance(report, dict):
        return "none"
    if report.get("finished") is None:
        return "lost"
    if report.get("outcome") == "updated" and not report.get("dry_run"):
        return "gate" if sorted_lines(stale_sums) == sorted_lines(sums) else "none"
    return "judged"


def inspect(hold, sums, break_hold):
    """A hold whose run is over: what it keeps, fetched, and what its report means."""
    files, digests = {}, {}
    for name in KEPT:
        path = os.path.join(hold, name)
        if os.path.lexists(path):
            try:
                with open(path, "rb") as f:
                    data = f.read(FETCH_LIMIT)
                files[name] = base64.b64encode(data).decode()
                digests[name] = sha256(path)
            except OSError as e:
                files[name], digests[name] = None, "unreadable: %s" % e.strerror
    report, why = read_json(os.path.join(hold, "run.json"))
    if why and not break_hold:
        raise Refusal("held", "the hold %s (%s) keeps a report that cannot be read (%s); set orv_break_hold to remove "
                      "it once what it holds is fetched" % (hold, owner_text(hold), why))
    job, _ = read_json(os.path.join(hold, "job.json"))
    stale_sums = read_text(os.path.join(hold, "sums.sha256")) if "sums.sha256" in files else ""
    return dict(owner=owner_text(hold), report=report, report_error=why, job=job, files=files, digests=digests,
                verdict=verdict(report, stale_sums, sums))


def _unchanged(hold, digests):
    now_digests = {}
    for name in KEPT:
        path = os.path.join(hold, name)
        if os.path.lexists(path):
            try:
                now_digests[name] = sha256(path)
            except OSError as e:
                now_digests[name] = "unreadable: %s" % e.strerror
    return now_digests == digests


def remove_hold(hold):
    """Removes the hold: first what a plan linked into the tool directory from it."""
    workdir = os.path.dirname(hold)
    for name in (read_text(os.path.join(hold, "linked")) or "").splitlines():
        outside, inside = os.path.join(workdir, name), os.path.join(hold, name)
        if os.path.lexists(outside) and os.path.exists(inside) and os.path.samefile(outside, inside):
            os.unlink(outside)
    shutil.rmtree(hold)


def _cannot(hold, e):
    why = {errno.ENOSPC: "no space left", errno.EDQUOT: "over the disk quota", errno.EROFS: "read-only file system",
           errno.EACCES: "permission denied", errno.EPERM: "permission denied"}.get(e.errno, e.strerror)
    return Refusal("failed", "the hold %s cannot be made (%s); nothing was copied" % (hold, why))


def up_to_date(workdir, sums):
    """Whether the host's record lists exactly the checksum lines SUMS (in any order)."""
    kept = record(workdir)
    return kept is not None and sorted_lines(kept) == sorted_lines(sums)


def take(workdir, owner, sums, rollout, collected=None, break_hold=False, check_mode=False, collect=True):
    """Takes the tool directory for this rollout. A hold left by an earlier rollout whose run is
    over is returned as stale (nothing taken) for the controller to fetch; called again with the
    digests it fetched (COLLECTED), it is removed and the hold taken. Without COLLECT such a hold
    refuses the host."""
    check_workdir(workdir)
    hold = os.path.join(workdir, HOLD)
    if os.path.lexists(hold):
        if alive(workdir):
            raise Refusal("busy", "%s: %s is held (%s) and its run goes on; nothing was copied" % (BUSY, hold, owner_text(hold)))
        if not collect:
            raise Refusal("held", "%s is held (%s); its run is over, and the next rollout collects it; nothing was "
                          "copied" % (hold, owner_text(hold)))
        if collected is None:
            return dict(taken=False, stale=inspect(hold, sums, break_hold), up_to_date=up_to_date(workdir, sums),
                        changed=False)
        if not _unchanged(hold, collected):
            raise Refusal("busy", "%s: the hold %s changed after it was fetched; nothing was copied" % (BUSY, hold))
        if not check_mode:
            remove_hold(hold)
    elif flocked(workdir):
        raise Refusal("busy", "%s: an orvTQupdate run holds %s; nothing was copied" % (BUSY, workdir))
    if check_mode:
        return dict(taken=False, up_to_date=up_to_date(workdir, sums), changed=True)
    try:
        os.mkdir(hold, 0o700)
    except FileExistsError:
        raise Refusal("busy", "%s: %s was taken meanwhile (%s); nothing was copied" % (BUSY, hold, owner_text(hold)))
    except OSError as e:
        raise _cannot(hold, e)
    try:
        os.chmod(hold, 0o700)
        write_file(os.path.join(hold, "owner.json"), json.dumps(dict(owner, rollout=rollout, taken=now())) + "\n")
        write_file(os.path.join(hold, "sums.sha256"), "\n".join(sorted_lines(sums)) + "\n")
    except OSError as e:
        shutil.rmtree(hold, ignore_errors=True)
        raise _cannot(hold, e)
    return dict(taken=True, up_to_date=up_to_date(workdir, sums), changed=True)


def release(workdir, rollout, fetched=None, applied=None, check_mode=False):
    """Ends this rollout's hold; with APPLIED, first keeps those checksum lines as the host's
    record. A report in the hold that the controller has not fetched (FETCHED: its digests) keeps
    the hold where it is."""
    hold = os.path.join(workdir, HOLD)
    if not os.path.lexists(hold):
        return dict(changed=False)
    ours(workdir, rollout)
    fd = lock_dir(hold)
    if fd is None:
        raise Refusal("busy", "a run still holds %s; the hold stays" % hold)
    try:
        for name in ("run.json",):
            path = os.path.join(hold, name)
            if os.path.lexists(path) and (fetched or {}).get(name) != sha256(path):
                raise Refusal("failed", "%s was not fetched as it is now; the hold stays" % path)
        if check_mode:
            return dict(changed=True)
        if applied is not None:
            write_file(os.path.join(workdir, RECORD), "\n".join(sorted_lines(applied)) + "\n")
        remove_hold(hold)
    finally:
        os.close(fd)
    return dict(changed=True)


def stage(workdir, rollout, files, check_mode=False):
    """Puts the transferred copies into the hold as new files of this user, each checked against
    the controller's digest."""
    hold = ours(workdir, rollout)
    for f in files:
        if sha256(f["src"]) != f["sha256"]:
            raise Refusal("failed", "the copy of %s arrived damaged (its SHA-256 is not the controller's)" % f["name"])
        if not check_mode:
            with open(f["src"], "rb") as src:
                write_file(os.path.join(hold, f["name"]), src.read(), int(f.get("mode", "0644"), 8))
    return dict(changed=not check_mode, staged=[f["name"] for f in files])


def verify(hold, files):
    """Checks every staged file against the controller's digest, immediately before it is used."""
    for f in files:
        path = os.path.join(hold, f["name"])
        try:
            ok = os.path.isfile(path) and not os.path.islink(path) and sha256(path) == f["sha256"]
        except OSError:
            ok = False
        if not ok:
            raise Refusal("refused", "the staged file %s does not match its SHA-256 on the controller (changed or gone "
                          "after its copy); nothing was run" % f["name"])


def answer(module, step):
    """Runs STEP() for MODULE: its result, or a refusal as a failed task with the host's outcome."""
    try:
        result = step()
    except Refusal as e:
        module.fail_json(msg=e.msg, outcome=e.outcome, **e.details)
    except OSError as e:
        module.fail_json(msg="%s: %s" % (e.filename or "", e.strerror or e), outcome="failed")
    module.exit_json(**result)
