#!/usr/bin/python
# The program's plan or run with the staged files.
from __future__ import annotations

DOCUMENTATION = r"""
module: run
short_description: Runs orvTQupdate with the staged files, after checking each against its SHA-256
description:
  - Every staged file (the program, the info file, every package) is checked against the
    controller's SHA-256 immediately before use; one that changed after its copy refuses the host.
  - I(mode=plan) runs the staged program's dry run, packages missing from the tool directory linked
    into it for that time, and returns its report.
  - I(mode=run) forgets the host's record, puts the files in place under the program's lock and
    starts C(./orvTQupdate --verify --checksums ... --report ...) detached from the connection; the
    job kills the run's process group after I(timeout) seconds. Watch it with M(orv.fleet.watch).
options:
  dir: {description: The tool directory., type: path, required: true}
  rollout: {description: The rollout's id; the hold must be this rollout's., type: str, required: true}
  mode: {description: Plan or run., type: str, choices: [plan, run], default: plan}
  files: {description: The staged files (name, sha256, role)., type: list, elements: dict, required: true}
  info: {description: The info file's name., type: str, required: true}
  timeout: {description: Seconds the run may take before it is killed., type: int, default: 21600}
  release: {description: Remove the hold after a plan., type: bool, default: false}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Start the run
  orv.fleet.run:
    dir: /opt/kep/tarvo
    rollout: "{{ orv_check.rollout }}"
    mode: run
    files: "{{ orv_check.files }}"
    info: info.txt
"""

RETURN = r"""
report: {description: The plan's report (mode=plan)., type: dict, returned: mode=plan}
exit_status: {description: The dry run's exit status (mode=plan)., type: int, returned: mode=plan}
job: {description: The run's job (runner, program, started) (mode=run)., type: dict, returned: mode=run}
outcome: {description: On failure, the host's outcome (refused, busy, failed)., type: str, returned: failure}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.host import answer
from ansible_collections.orv.fleet.plugins.module_utils.runner import plan, start


def main():
    module = AnsibleModule(argument_spec=dict(
        dir=dict(type="path", required=True),
        rollout=dict(type="str", required=True),
        mode=dict(type="str", choices=["plan", "run"], default="plan"),
        files=dict(type="list", elements="dict", required=True),
        info=dict(type="str", required=True),
        timeout=dict(type="int", default=21600),
        release=dict(type="bool", default=False),
    ), supports_check_mode=True)
    p = module.params
    if p["mode"] == "plan":
        answer(module, lambda: plan(p["dir"], p["rollout"], p["files"], p["info"], p["release"]))
    answer(module, lambda: start(p["dir"], p["rollout"], p["files"], p["info"], p["timeout"], module.check_mode))


if __name__ == "__main__":
    main()
