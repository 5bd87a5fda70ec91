#!/usr/bin/python
# Judges a host: at the end of its plan, and at the end of its batch.
from __future__ import annotations

DOCUMENTATION = r"""
module: judge
short_description: Judges a host from what each step returned and from the program's reports
description:
  - Run on the controller (C(delegate_to: localhost)); it changes nothing.
  - I(phase=plan) decides, from the hold (and an earlier hold it collected), the host's record and
    the plan's dry run, whether the host is updated in a batch (C(path=run)), gated and judged
    from a collected run (C(gate)), judged in its batch without being connected again
    (C(judged)), or left out of the batches (C(skip): already updated, nothing covered).
  - I(phase=batch) gives the host's outcome from the batch's steps and the run's report.
  - A step that could not reach the host is C(unreachable), one that ran out of time C(timed out)
    (the health gate C(unhealthy)), one that refused C(refused), C(busy) or C(held).
options:
  phase: {description: Which judgement., type: str, choices: [plan, batch], required: true}
  steps:
    description: The steps' registered results in order, each a pair [name, result].
    type: list
    elements: list
    default: []
  stale: {description: An earlier hold that was collected, as the hold module returned it., type: dict}
  up_to_date: {description: Whether the host's record lists what is sent now., type: bool, default: false}
  force: {description: Update a host whose record says it is up to date., type: bool, default: false}
  plan_only: {description: Only the plan runs (as in check mode); its outcomes are final., type: bool, default: false}
  plan: {description: The plan's result (phase=plan) or the plan's judgement (phase=batch)., type: dict}
  limits: {description: orv_timeout, orv_step_timeout and orv_health_timeout, for the messages., type: dict, default: {}}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Judge the host
  orv.fleet.judge:
    phase: batch
    plan: "{{ orv_planned }}"
    steps: [[hold, "{{ orv_hold }}"], [stage, "{{ orv_stage }}"], [run, "{{ orv_run }}"]]
  delegate_to: localhost
"""

RETURN = r"""
outcome: {description: The host's outcome., type: str, returned: always}
message: {description: Why, line by line., type: list, returned: always}
report: {description: The report the host is judged from, or null., type: dict, returned: always}
path: {description: What the batch does with the host (phase=plan)., type: str, returned: phase=plan}
passed: {description: Whether the outcome passes., type: bool, returned: always}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.judge import PASSING, judge_batch, judge_plan


def main():
    module = AnsibleModule(argument_spec=dict(
        phase=dict(type="str", choices=["plan", "batch"], required=True),
        steps=dict(type="list", elements="list", default=[]),
        stale=dict(type="dict"),
        up_to_date=dict(type="bool", default=False),
        force=dict(type="bool", default=False),
        plan_only=dict(type="bool", default=False),
        plan=dict(type="dict"),
        limits=dict(type="dict", default={}),
    ), supports_check_mode=True)
    p = module.params
    steps = [(s[0], s[1] if len(s) > 1 else None) for s in p["steps"]]
    if p["phase"] == "plan":
        result = judge_plan(steps, p["stale"], p["up_to_date"], p["force"], p["plan"], p["plan_only"] or module.check_mode,
                            p["limits"])
    else:
        result = judge_batch(p["plan"], steps, p["limits"])
    module.exit_json(changed=False, passed=result["outcome"] in PASSING, **result)


if __name__ == "__main__":
    main()
