# Filters for the rollout's notices.
from __future__ import annotations

from ansible_collections.orv.fleet.plugins.module_utils.judge import fault, notice
from ansible_collections.orv.fleet.plugins.module_utils.sent import percentage


def fleet_notice(batch, hosts, hostvars, max_fail_percentage=0):
    """The notice after a batch, from each host's judgement (orv_judged) or plan (orv_planned)."""
    outcomes = {}
    for host in hosts:
        v = hostvars[host]
        judged, planned = v.get("orv_judged"), v.get("orv_planned") or {}
        if isinstance(judged, dict) and "outcome" in judged and not judged.get("skipped"):
            outcomes[host] = judged["outcome"]
        else:
            outcomes[host] = planned.get("outcome") if planned.get("path") == "skip" else "not touched"
    return notice(list(batch), outcomes, percentage(max_fail_percentage))


def fault_text(results):
    """The message of the first of RESULTS that failed or could not reach its host, or ''."""
    for r in results if isinstance(results, list) else [results]:
        found = fault(r)
        if found:
            return found[1]
    return ""


class FilterModule:
    def filters(self):
        return {"fleet_notice": fleet_notice, "fault_text": fault_text}
