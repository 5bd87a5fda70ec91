import pytest

from ansible_collections.orv.fleet.plugins.module_utils.judge import fault, judge_batch, judge_plan, notice

LIMITS = {"orv_timeout": 21600, "orv_step_timeout": 120, "orv_health_timeout": 600}
SKIPPED = {"skipped": True}
OK = {"changed": True}
TIMED_OUT = {"failed": True, "msg": "The orv.fleet.stage action failed to execute in the expected time frame (120) and was terminated"}


def report(outcome="updated", finished="2026-01-01T00:00:00Z", dry_run=False, adapters=None, **more):
    return dict(outcome=outcome, finished=finished, dry_run=dry_run, exit_status=0 if outcome == "updated" else 1,
                adapters_found=len(adapters or [1]), errors=[],
                adapters=adapters if adapters is not None else [dict(adapter=1, id="0x1111", state="updated")], **more)


@pytest.mark.parametrize("result, expected", [
    (None, None),
    (SKIPPED, None),
    (OK, None),
    ({"unreachable": True, "msg": "no route"}, ("unreachable", "no route")),
    ({"results": [OK, {"unreachable": True, "msg": "dropped"}]}, ("unreachable", "dropped")),
    ({"failed": True, "msg": "One or more items failed", "results": [{"failed": True, "msg": "disk"}]}, ("failed", "disk")),
    (TIMED_OUT, ("timed out", TIMED_OUT["msg"])),
    ({"failed": True, "outcome": "busy", "msg": "held"}, ("busy", "held")),
])
def test_fault_of_a_step(result, expected):
    assert fault(result) == expected


def plan(steps=(), stale=None, up_to_date=False, force=False, result=None, check_mode=False):
    return judge_plan(list(steps), stale, up_to_date, force, result, check_mode, LIMITS)


@pytest.mark.parametrize("kwargs, outcome, path, says", [
    (dict(steps=[("hold", {"unreachable": True, "msg": "ssh: refused"})]), "unreachable", "judged",
     "could not be reached at step taking the hold: ssh: refused"),
    (dict(steps=[("hold", OK), ("stage", TIMED_OUT)]), "timed out", "judged",
     "step staging the files did not finish within orv_step_timeout (120 s)"),
    (dict(steps=[("hold", {"failed": True, "outcome": "busy", "msg": "another rollout"})]), "busy", "judged", "another rollout"),
    (dict(steps=[("hold", OK), ("stage", OK), ("plan", {"failed": True, "outcome": "refused", "msg": "info.txt changed"})]),
     "refused", "judged", "info.txt changed"),
    (dict(stale=dict(verdict="lost", owner="ann@ctl", report=report(finished=None, adapters=[]))), "lost", "judged",
     "ended without finishing its report, at adapter 1 of 1"),
    (dict(stale=dict(verdict="judged", owner="ann@ctl", report=report("failed"))), "failed", "judged",
     "orvTQupdate reported failed (exit status 1) in an earlier rollout's hold (ann@ctl)"),
    (dict(stale=dict(verdict="judged", owner="ann@ctl", report=report("nothing covered"))), "nothing covered", "skip", ""),
    (dict(stale=dict(verdict="gate", owner="ann@ctl", report=report())), "not touched", "gate", "gated and judged"),
    (dict(up_to_date=True), "already updated", "skip", "the host's record says"),
    (dict(up_to_date=True, force=True, result=dict(report=report(dry_run=True))), "not touched", "run", ""),
    (dict(result=dict(report=None, exit_status=231, console=["ERROR: x"])), "failed", "judged",
     "the plan left no report (exit status 231)"),
    (dict(result=dict(report=report("would update", dry_run=True))), "not touched", "run", ""),
    (dict(result=dict(report=report(dry_run=True)), check_mode=True), "would update", "run", ""),
    (dict(result=dict(report=report("nothing covered", dry_run=True))), "nothing covered", "skip", ""),
    (dict(result=dict(report=report("failed", dry_run=True))), "failed", "judged", "the plan: orvTQupdate reported failed"),
    (dict(result=dict(report=report("would fail", dry_run=True)), check_mode=True), "would fail", "judged", ""),
    (dict(result=dict(report=report("refused", dry_run=True))), "refused", "judged", ""),
])
def test_plan_rows(kwargs, outcome, path, says):
    judged = plan(**kwargs)
    assert (judged["outcome"], judged["path"]) == (outcome, path)
    assert says in "\n".join(judged["message"])


RUN = {"path": "run", "outcome": "not touched", "message": []}


def batch(hold=OK, stage=OK, run=OK, watch=None, gate=SKIPPED, release=OK, planned=RUN):
    steps = [("hold", hold), ("stage", stage), ("run", run), ("watch", watch or SKIPPED), ("gate", gate),
             ("release", release)]
    return judge_batch(planned, steps, LIMITS)


def watched(doc=None, job=None, tails=None):
    return dict(done=True, report=doc, job=job or {"returncode": 0}, tails=tails or {})


FAILED_ADAPTER = [dict(adapter=1, id="0x1111", package="r.pkg", state="failed", exit_code=3, signal=None,
                       result_file="result-1.out")]
GATE_TIMED_OUT = {"failed": True, "msg": "The orv.fleet.gate action failed to execute in the expected time frame (603)"}


@pytest.mark.parametrize("kwargs, outcome, says", [
    (dict(planned=dict(path="judged", outcome="refused", message=["plan refused"])), "refused", "plan refused"),
    (dict(hold={"failed": True, "outcome": "held", "msg": "a hold is left"}), "held", "a hold is left"),
    (dict(stage={"unreachable": True, "msg": "dropped"}), "unreachable", "at step staging the files: dropped"),
    (dict(run={"failed": True, "outcome": "refused", "msg": "the staged file info.txt does not match"}), "refused",
     "info.txt does not match"),
    (dict(watch={"unreachable": True, "msg": "3 looks in a row"}), "unreachable", "at step watching the run: 3 looks in a row"),
    (dict(watch={"unreachable": True, "msg": "3 looks"}), "unreachable", "its run may go on there"),
    (dict(watch=watched(None, {"returncode": 231})), "busy", "exit status 231, no report"),
    (dict(watch=watched(None, {"returncode": 1}, {"console.out": ["ERROR: Unknown option"]})), "failed",
     "ERROR: Unknown option"),
    (dict(watch=watched(report(finished=None, adapters=[]), {"timed_out": True, "returncode": -9})), "timed out",
     "killed at orv_timeout (21600 s) while the run was at adapter 1 of 1"),
    (dict(watch=watched(report(finished=None, adapters=[]), {"returncode": -9})), "lost", "the run ended (-9) with its report unfinished"),
    (dict(watch=watched(report(finished=None, adapters=[]), {}, {"result.out": ["Progress: 50%"]})), "lost",
     "Progress: 50%"),
    (dict(watch=watched(report("failed", adapters=FAILED_ADAPTER), tails={"result-1.out": ["error 3"]})), "failed",
     "adapter 1 (ID 0x1111, package r.pkg) failed with exit code 3; result-1.out ends:\nerror 3"),
    (dict(watch=watched(report("failed", adapters=[dict(adapter=1, id="0x1", package="r", state="unverified")]))),
     "failed", "does not answer with its ID after its update"),
    (dict(watch=watched(report("stopped"))), "stopped", "orvTQupdate reported stopped"),
    (dict(watch=watched(report("nothing covered", adapters=[]))), "nothing covered", ""),
    (dict(watch=watched(report()), gate=OK), "updated", "orvTQupdate reported updated (exit status 0)"),
    (dict(watch=watched(report()), gate=GATE_TIMED_OUT, release=SKIPPED), "unhealthy",
     "did not answer and pass its dry run within orv_health_timeout (600 s)"),
    (dict(watch=watched(report()), gate={"failed": True, "outcome": "unhealthy", "msg": "lists 1 adapters"},
          release=SKIPPED), "unhealthy", "lists 1 adapters"),
    (dict(watch=watched(report()), gate=OK, release={"unreachable": True, "msg": "gone"}), "unreachable",
     "at step releasing the hold: gone"),
    (dict(planned=dict(path="gate", outcome="not touched", message=["collected"], report=report()), stage=SKIPPED,
          run=SKIPPED, gate=OK), "updated", "collected"),
    (dict(planned=dict(path="gate", outcome="not touched", message=[], report=report()), stage=SKIPPED, run=SKIPPED,
          gate=GATE_TIMED_OUT, release=SKIPPED), "unhealthy", "within orv_health_timeout"),
])
def test_batch_rows(kwargs, outcome, says):
    judged = batch(**kwargs)
    assert judged["outcome"] == outcome
    assert says in "\n".join(judged["message"])


def test_a_hold_left_behind_is_said_once_and_only_when_it_stays():
    stays = "the hold stays on the host"
    assert stays in batch(stage={"unreachable": True, "msg": "x"}, release=SKIPPED)["message"][-1]
    assert stays in batch(watch=watched(report("failed", adapters=FAILED_ADAPTER)),
                          release={"failed": True, "msg": "busy"})["message"][-1]
    assert not any(stays in m for m in batch(watch=watched(report()), gate=OK)["message"])
    assert not any(stays in m for m in batch(hold={"failed": True, "outcome": "busy", "msg": "b"})["message"])


@pytest.mark.parametrize("batch_outcomes, percentage, stop", [
    (["updated", "failed"], 50, False),
    (["updated", "failed", "updated"], 0, True),
    (["unreachable", "updated", "updated", "updated"], 25, False),
    (["unreachable", "busy", "updated", "updated"], 25, True),
    (["failed"], 100, True),
    (["already updated", "nothing covered"], 0, False),
])
def test_threshold_as_ansible_weighs_it(batch_outcomes, percentage, stop):
    hosts = ["h%d" % i for i in range(len(batch_outcomes))]
    outcomes = dict(zip(hosts, batch_outcomes), later="not touched")
    said = notice(hosts, outcomes, percentage)
    assert said["stop"] == stop
    assert ("Not touched: later." in said["lines"][-1]) == stop


def test_the_notice_counts_and_names():
    said = notice(["a", "b"], {"a": "updated", "b": "failed", "c": "not touched", "d": "not touched"}, 0)
    assert said["lines"] == ["Hosts: 1 failed, 2 not touched, 1 updated.",
                             "The rollout stops after this batch: b failed (1 of 2 hosts, orv_max_fail_percentage 0). "
                             "Not touched: c, d."]
    assert notice(["a"], {"a": "failed"}, 0)["stop"] is False  # nothing left to stop
