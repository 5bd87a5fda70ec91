#!/usr/bin/python
# Documentation only: the fleet report is written on the controller, by the action of the same name.
from __future__ import annotations

DOCUMENTATION = r"""
module: report
short_description: Keeps a host's report and outcome on the controller and rewrites the fleet report
description:
  - Writes C(HOST.json) (the report the host is judged from), C(HOST.outcome.json) (its outcome,
    message, step and report) and, from what C(orv.fleet.hold) fetched of an earlier hold,
    C(HOST.held/); then rewrites C(summary.csv) and C(summary.md) from every host's kept outcome
    in the directory, hosts of other rollouts included, under a lock.
  - Without I(outcome) it only rewrites the summaries.
  - Fails, naming every path, when anything cannot be written.
  - Runs as an action on the controller; it never connects to the host.
options:
  dir: {description: The report directory., type: path, required: true}
  host: {description: The host; by default the task's., type: str}
  outcome: {description: The host's outcome., type: str}
  message: {description: Why, line by line., type: list, elements: str, default: []}
  step: {description: The step the outcome comes from., type: str}
  report: {description: The report to keep., type: dict}
  keep_report: {description: Write HOST.json too., type: bool, default: true}
  fetched: {description: File name to base64 contents, fetched from an earlier hold., type: dict}
  rollout: {description: The rollout's id., type: str}
  order: {description: The hosts in the order of the summaries., type: list, elements: str, default: []}
  plan_only: {description: The summaries are a plan's., type: bool, default: false}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Keep the host's outcome
  orv.fleet.report:
    dir: reports
    outcome: updated
    report: "{{ orv_judged.report }}"
    order: "{{ groups['all'] }}"
"""

RETURN = r"""
changed: {description: Always false., type: bool, returned: always}
"""
