import errno
import fcntl
import json
import os

import pytest

from ansible_collections.orv.fleet.plugins.module_utils import host
from ansible_collections.orv.fleet.plugins.module_utils.host import HOLD, RECORD, Refusal, release, stage, take, verify

SUMS = "b" * 64 + "  raid.pkg\n" + "a" * 64 + "  info.txt"
OWNER = dict(user="ann", controller="ctl", pid=42)


@pytest.fixture
def workdir(tmp_path):
    tool = tmp_path / "tarvo"
    tool.write_text("#!/bin/sh\n")
    tool.chmod(0o755)
    return str(tmp_path)


def hold(workdir, name=""):
    return os.path.join(workdir, HOLD, name)


def locked(path):
    fd = os.open(path, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def refused(outcome, says, call, *args, **kwargs):
    with pytest.raises(Refusal) as e:
        call(*args, **kwargs)
    assert e.value.outcome == outcome and says in e.value.msg
    return e.value


def test_take_names_the_owner_and_keeps_the_sorted_sums(workdir):
    assert take(workdir, OWNER, SUMS, "r1") == dict(taken=True, up_to_date=False, changed=True)
    owner = json.load(open(hold(workdir, "owner.json")))
    assert owner["user"] == "ann" and owner["rollout"] == "r1" and owner["taken"]
    assert open(hold(workdir, "sums.sha256")).read().splitlines() == sorted(SUMS.splitlines())
    assert os.stat(hold(workdir)).st_mode & 0o777 == 0o700


def test_no_tool_no_hold(tmp_path):
    refused("failed", "tarvo is missing or not executable; nothing was copied", take, str(tmp_path), OWNER, SUMS, "r1")


def test_a_hold_whose_run_goes_on_is_busy(workdir):
    take(workdir, OWNER, SUMS, "r1")
    fd = locked(hold(workdir))
    try:
        refused("busy", "another rollout or run is in progress on this host", take, workdir, OWNER, SUMS, "r2")
    finally:
        os.close(fd)


def test_a_run_of_the_program_is_busy(workdir):
    fd = locked(workdir)
    try:
        refused("busy", "an orvTQupdate run holds", take, workdir, OWNER, SUMS, "r1")
    finally:
        os.close(fd)
    assert not os.path.exists(hold(workdir))


@pytest.mark.parametrize("code, says", [(errno.ENOSPC, "no space left"), (errno.EROFS, "read-only file system"),
                                        (errno.EACCES, "permission denied")])
def test_a_hold_that_cannot_be_made_says_why(workdir, monkeypatch, code, says):
    def mkdir(path, mode):
        raise OSError(code, os.strerror(code), path)
    monkeypatch.setattr(host.os, "mkdir", mkdir)
    refused("failed", "cannot be made (%s)" % says, take, workdir, OWNER, SUMS, "r1")


def test_a_hold_whose_owner_cannot_be_written_is_removed(workdir, monkeypatch):
    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, "No space left on device")
    monkeypatch.setattr(host, "write_file", full)
    refused("failed", "cannot be made (no space left)", take, workdir, OWNER, SUMS, "r1")
    assert not os.path.exists(hold(workdir))


def left(workdir, report=None, sums=SUMS, job=None):
    """A hold of an earlier rollout whose run is over."""
    take(workdir, OWNER, sums, "old")
    if report is not None:
        with open(hold(workdir, "run.json"), "w") as f:
            f.write(report if isinstance(report, str) else json.dumps(report))
    if job is not None:
        with open(hold(workdir, "job.json"), "w") as f:
            json.dump(job, f)


UPDATED = dict(outcome="updated", finished="t", dry_run=False)


@pytest.mark.parametrize("report, sums, verdict", [
    (None, SUMS, "none"),
    (dict(UPDATED, finished=None), SUMS, "lost"),
    (UPDATED, SUMS, "gate"),
    (UPDATED, "c" * 64 + "  other.pkg", "none"),
    (dict(UPDATED, outcome="failed"), SUMS, "judged"),
])
def test_a_stale_hold_is_fetched_and_its_report_weighed(workdir, report, sums, verdict):
    left(workdir, report, sums, job={"runner": 1})
    found = take(workdir, OWNER, SUMS, "r2")
    assert found["taken"] is False and found["stale"]["verdict"] == verdict
    assert found["stale"]["owner"].startswith("ann@ctl, process 42")
    assert set(found["stale"]["files"]) >= {"owner.json", "sums.sha256", "job.json"}
    taken = take(workdir, OWNER, SUMS, "r2", collected=found["stale"]["digests"])
    assert taken["taken"] and json.load(open(hold(workdir, "owner.json")))["rollout"] == "r2"


def test_a_stale_hold_that_changed_after_its_fetch_stays(workdir):
    left(workdir, UPDATED)
    digests = take(workdir, OWNER, SUMS, "r2")["stale"]["digests"]
    with open(hold(workdir, "run.json"), "a") as f:
        f.write(" ")
    refused("busy", "changed after it was fetched", take, workdir, OWNER, SUMS, "r2", collected=digests)
    assert os.path.exists(hold(workdir, "run.json"))


def test_a_report_that_cannot_be_read_is_held_unless_broken(workdir):
    left(workdir, "{cut")
    refused("held", "set orv_break_hold", take, workdir, OWNER, SUMS, "r2")
    found = take(workdir, OWNER, SUMS, "r2", break_hold=True)
    assert found["stale"]["report_error"] and found["stale"]["verdict"] == "none"
    assert found["stale"]["files"]["run.json"] == "e2N1dA=="    # what it holds, fetched as it is


def test_the_batch_never_collects(workdir):
    left(workdir)
    refused("held", "the next rollout collects it", take, workdir, OWNER, SUMS, "r2", collect=False)


def test_release_keeps_the_record_and_only_a_fetched_report_goes(workdir):
    take(workdir, OWNER, SUMS, "r1")
    with open(hold(workdir, "run.json"), "w") as f:
        f.write("{}")
    refused("failed", "was not fetched as it is now; the hold stays", release, workdir, "r1", {}, SUMS)
    refused("busy", "no longer this rollout's", release, workdir, "r2")
    assert release(workdir, "r1", {"run.json": host.sha256(hold(workdir, "run.json"))}, SUMS) == dict(changed=True)
    assert not os.path.exists(hold(workdir))
    assert open(os.path.join(workdir, RECORD)).read() == "\n".join(sorted(SUMS.splitlines())) + "\n"
    reordered = "\n".join(reversed(SUMS.splitlines()))
    assert take(workdir, OWNER, reordered, "r3")["up_to_date"] is True


def test_release_removes_what_a_plan_linked(workdir):
    take(workdir, OWNER, SUMS, "r1")
    open(hold(workdir, "raid.pkg"), "w").close()
    os.link(hold(workdir, "raid.pkg"), os.path.join(workdir, "raid.pkg"))
    open(os.path.join(workdir, "own.pkg"), "w").close()
    with open(hold(workdir, "linked"), "w") as f:
        f.write("raid.pkg\nown.pkg\n")
    release(workdir, "r1")
    assert sorted(os.listdir(workdir)) == ["own.pkg", "tarvo"]


def test_stage_checks_each_copy_and_verify_each_staged_file(workdir, tmp_path):
    take(workdir, OWNER, SUMS, "r1")
    src = tmp_path / "sent"
    src.write_bytes(b"package")
    digest = host.sha256(str(src))
    files = [dict(src=str(src), name="raid.pkg", sha256=digest, mode="0644")]
    refused("failed", "the copy of raid.pkg arrived damaged", stage, workdir, "r1", [dict(files[0], sha256="0" * 64)])
    assert stage(workdir, "r1", files)["staged"] == ["raid.pkg"]
    assert os.stat(hold(workdir, "raid.pkg")).st_mode & 0o777 == 0o644
    verify(hold(workdir), files)
    with open(hold(workdir, "raid.pkg"), "ab") as f:
        f.write(b"\0")
    refused("refused", "the staged file raid.pkg does not match its SHA-256", verify, hold(workdir), files)
    os.unlink(hold(workdir, "raid.pkg"))
    refused("refused", "changed or gone after its copy", verify, hold(workdir), files)


def test_flocked_reads_the_kernels_table(tmp_path):
    d = tmp_path / "dir"
    d.mkdir()
    inode = os.stat(str(d)).st_ino
    table = tmp_path / "locks"
    table.write_text("1: POSIX  ADVISORY  WRITE 99 08:01:%d 0 EOF\n2: FLOCK  ADVISORY  WRITE 12 00:2a:%d 0 EOF\n"
                     % (inode, inode + 1))
    assert not host.flocked(str(d), str(table))
    table.write_text("1: FLOCK  ADVISORY  WRITE 12 00:2a:%d 0 EOF\n" % inode)
    assert host.flocked(str(d), str(table))
