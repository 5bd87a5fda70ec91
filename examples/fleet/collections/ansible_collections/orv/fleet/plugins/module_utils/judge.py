# How a host is judged, from what each step on it returned and from the program's reports.
# Pure functions of Ansible's registered results: the judge module and the step tests call them.
from __future__ import annotations

PASSING = ("updated", "would update", "nothing covered", "already updated")
TIMED_OUT = "failed to execute in the expected time frame"
STEPS = {
    "hold": "taking the hold", "collect": "collecting the hold", "stage": "staging the files",
    "plan": "the plan (dry run)", "run": "starting the run", "watch": "watching the run",
    "gate": "the health gate", "release": "releasing the hold",
    "fetch": "keeping an earlier hold's files on the controller",
}
LIMITS = {"watch": "orv_timeout", "gate": "orv_health_timeout"}


def fault(result):
    """(outcome, message) of a step that failed or could not reach its host, loop items included;
    None for a step that passed or did not run."""
    if not isinstance(result, dict) or result.get("skipped"):
        return None
    parts = [i for i in result.get("results") or [] if isinstance(i, dict)] + [result]
    for r in parts:
        if r.get("unreachable"):
            return "unreachable", str(r.get("msg") or "unreachable")
    for r in parts:
        if r.get("failed"):
            msg = str(r.get("msg") or "failed")
            return ("timed out", msg) if TIMED_OUT in msg else (str(r.get("outcome") or "failed"), msg)
    return None


def passed(result):
    """A step that ran, reached its host and did not fail."""
    return isinstance(result, dict) and not result.get("skipped") and fault(result) is None


def first_fault(steps, limits):
    """The first step of STEPS (name, result pairs) with a fault: (name, outcome, message)."""
    for name, result in steps:
        found = fault(result)
        if found is None:
            continue
        outcome, msg = found
        step = STEPS.get(name, name)
        if outcome == "unreachable":
            return name, outcome, "could not be reached at step %s: %s" % (step, msg)
        if outcome == "timed out":
            limit = LIMITS.get(name, "orv_step_timeout")
            if name == "gate":
                return name, "unhealthy", "the health gate: the host did not answer and pass its dry run within %s (%s s)" % (
                    limit, limits.get(limit))
            return name, outcome, "step %s did not finish within %s (%s s)" % (step, limit, limits.get(limit))
        return name, outcome, msg if outcome != "failed" else "%s failed: %s" % (step, msg)
    return None


def plan_outcome(report, check_mode):
    """The outcome a plan's report gives: the program's words for a dry run, old and new."""
    outcome = report.get("outcome")
    words = {"updated": "would update", "failed": "would fail"} if report.get("dry_run") else {}
    outcome = words.get(outcome, outcome)
    if check_mode or outcome in ("would update", "nothing covered"):
        return outcome
    return {"would fail": "failed"}.get(outcome, outcome)


def _at(report):
    done = len(report.get("adapters") or [])
    found = report.get("adapters_found")
    return "adapter %d%s" % (done + 1, " of %s" % found if found else "")


def _failed_adapters(report, tails):
    """A line for each adapter that failed, and the last lines of its tool output."""
    lines = []
    for a in report.get("adapters") or []:
        state, which = a.get("state"), "adapter %s (ID %s, package %s)" % (a.get("adapter"), a.get("id"), a.get("package"))
        if state == "no id":
            lines.append("adapter %s gave no ID" % a.get("adapter"))
        elif state == "would fail":
            lines.append("%s would fail" % which)
        elif state == "unverified":
            lines.append("%s does not answer with its ID after its update" % which)
        elif state == "failed":
            how = "exit code %s" % a["exit_code"] if a.get("exit_code") is not None else "signal %s" % a.get("signal")
            lines.append("%s failed with %s%s" % (which, how, "; %s ends:" % a["result_file"] if a.get("result_file") else ""))
            if a.get("result_file"):
                lines += list((tails or {}).get(a["result_file"]) or ["(not read)"])
    return lines


def judge_plan(steps, stale, up_to_date, force, plan, check_mode, limits):
    """The plan of a host: its outcome when the plan decides it, and what its batch does:
    path run (update it), gate (gate and judge a collected run), judged (judged in its batch, never
    connected again), or skip (nothing to do: not in a batch)."""
    found = first_fault(steps, limits)
    if found:
        return dict(outcome=found[1], message=[found[2]], path="judged", report=None, step=found[0])
    verdict = (stale or {}).get("verdict", "none")
    collected = stale.get("report") if stale else None
    note = ["an earlier rollout's hold (%s) was collected" % stale.get("owner")] if stale else []
    if verdict == "lost":
        return dict(outcome="lost", path="judged", report=collected, step="collect", message=[
            "the run of an earlier rollout's hold (%s) ended without finishing its report, at %s; the hold was "
            "collected" % (stale.get("owner"), _at(collected))])
    if verdict == "judged":
        outcome = collected.get("outcome")
        return dict(outcome=outcome, path="skip" if outcome in PASSING else "judged", report=collected,
                    step="collect", message=["orvTQupdate reported %s (exit status %s) in an earlier rollout's hold (%s), "
                                             "collected" % (outcome, collected.get("exit_status"), stale.get("owner"))]
                    + list(collected.get("errors") or []) + _failed_adapters(collected, {}))
    if verdict == "gate":
        return dict(outcome="would update" if check_mode else "not touched", path="gate", report=collected,
                    step="collect", message=note + ["its run updated the host with the files sent now; it is gated and "
                                                    "judged, not flashed again"])
    if up_to_date and not force:
        return dict(outcome="already updated", path="skip", report=None, step="plan",
                    message=note + ["the host's record says it was updated with the files sent now"])
    result = plan or {}
    report = result.get("report")
    if not isinstance(report, dict):
        return dict(outcome="failed", path="judged", report=None, step="plan", message=note + [
            "the plan left no report (exit status %s)%s" % (result.get("exit_status"), ": " + (
                result.get("report_error") or "") if result.get("report_error") else "")] + list(result.get("console") or []))
    outcome = plan_outcome(report, check_mode)
    path = "run" if outcome == "would update" else "skip" if outcome in PASSING else "judged"
    lines = [] if outcome in PASSING else ["the plan: orvTQupdate reported %s (exit status %s)" % (
        report.get("outcome"), report.get("exit_status"))] + list(report.get("errors") or []) + _failed_adapters(report, {})
    return dict(outcome="not touched" if path == "run" and not check_mode else outcome, path=path, report=report,
                step="plan", message=note + lines)


def _run_ended(watch, limits):
    """The outcome of a run that the watch saw end, and its message."""
    report, job = watch.get("report"), watch.get("job") or {}
    tails = watch.get("tails") or {}
    if not isinstance(report, dict):
        if job.get("returncode") == 231:
            return "busy", ["another rollout or run is in progress on this host: an orvTQupdate run held the tool "
                            "directory when the run began (exit status 231, no report)"] + list(tails.get("console.out") or [])
        return "failed", ["orvTQupdate left no report (%s)%s" % (
            "exit status %s" % job.get("returncode") if "returncode" in job else "its job is gone",
            ": " + watch["report_error"] if watch.get("report_error") else "")] + list(tails.get("console.out") or [])
    if report.get("finished") is None:
        if job.get("timed_out"):
            head = "the run was killed at orv_timeout (%s s)" % limits.get("orv_timeout")
            outcome = "timed out"
        elif "returncode" in job:
            head, outcome = "the run ended (%s) with its report unfinished" % job["returncode"], "lost"
        else:
            head, outcome = "the job is gone (a crash, a reboot, a kill)", "lost"
        return outcome, ["%s while the run was at %s" % (head, _at(report))] + list(report.get("errors") or []) + [
            "result.out ends:"] + list(tails.get("result.out") or [])
    outcome = report.get("outcome")
    return outcome, ["orvTQupdate reported %s (exit status %s)" % (outcome, report.get("exit_status"))] + list(
        report.get("errors") or []) + _failed_adapters(report, tails)


def judge_batch(plan, steps, limits):
    """A host at the end of its batch: its outcome, message and the report it is judged from.
    STEPS are the batch's steps in order: hold, stage, run, watch, gate, release."""
    plan = plan or {}
    if plan.get("path") not in ("run", "gate"):
        return dict(outcome=plan.get("outcome", "failed"), message=list(plan.get("message") or []),
                    report=plan.get("report"), step=plan.get("step"))
    results = dict(steps)
    held = passed(results.get("hold"))
    found = first_fault([s for s in steps if s[0] != "release"], limits)
    watch = results.get("watch") if isinstance(results.get("watch"), dict) else {}
    report = watch.get("report") if isinstance(watch.get("report"), dict) else None
    if plan["path"] == "gate":
        report = plan.get("report")
    if found and found[0] != "gate":
        step, outcome, message = found
        message = [message]
        if step == "watch" or outcome == "unreachable" and passed(results.get("run")):
            message[0] += "; its run may go on there"
    elif plan["path"] == "gate":
        step, outcome = "gate", found[1] if found else "updated"
        message = list(plan.get("message") or []) + ([found[2]] if found else [])
    else:
        step = "watch"
        outcome, message = _run_ended(watch, limits)
        if outcome == "updated" and found:
            step, outcome, message = "gate", found[1], [found[2]] + message
    release = fault(results.get("release"))
    if held and (found or release):
        if release and outcome in PASSING:
            step, outcome, head = first_fault([("release", results["release"])], limits)
            message = [head] + message
        message.append("the hold stays on the host; the next rollout collects it once its run is over")
    return dict(outcome=outcome, message=message, report=report, step=step)


def stops(failed, batch_size, percentage):
    """Whether Ansible ends the play after a batch: more than PERCENTAGE of it failed, or all of it."""
    return failed > 0 and (failed == batch_size or failed / batch_size > percentage / 100.0)


def notice(batch, outcomes, percentage, check_mode=False):
    """How the fleet stands after a batch, and whether the rollout stops: BATCH the batch's hosts,
    OUTCOMES every host of the rollout to its outcome (not touched when not yet judged)."""
    counts = {}
    for outcome in outcomes.values():
        counts[outcome] = counts.get(outcome, 0) + 1
    lines = ["Hosts: %s." % ", ".join("%d %s" % (counts[o], o) for o in sorted(counts))]
    failed = [h for h in batch if outcomes.get(h) not in PASSING]
    untouched = [h for h, o in outcomes.items() if o == "not touched" and h not in batch]
    stop = bool(untouched) and stops(len(failed), len(batch), percentage)
    if stop:
        lines.append("The rollout %s after this batch: %s failed (%d of %d hosts, orv_max_fail_percentage %s). Not touched: "
                     "%s." % ("would stop" if check_mode else "stops", ", ".join(failed), len(failed), len(batch),
                              "%g" % percentage, ", ".join(untouched)))
    return dict(lines=lines, stop=stop)
