#!/usr/bin/python
# The hold on a tool directory: taken, collected or released.
from __future__ import annotations

DOCUMENTATION = r"""
module: hold
short_description: Takes, collects or releases a rollout's hold on a tool directory
description:
  - The hold is the directory C(.orvTQupdate-rollout) in the tool directory, made by one rollout
    at a time; it names its owner and keeps the staged files, the checksum lines and the run's report.
  - With I(state=present) a hold left by an earlier rollout whose run is over is returned as
    C(stale), with what it keeps, and not touched; called again with I(collected), the digests of
    what was fetched, it is removed and the hold taken.
  - With I(state=absent) the hold is removed, once its report was fetched; I(applied) is then kept
    as the host's record of what it was updated with.
options:
  dir: {description: The tool directory, which holds ./tarvo., type: path, required: true}
  state: {description: Take or release., type: str, choices: [present, absent], default: present}
  rollout: {description: The rollout's id., type: str, required: true}
  owner: {description: Who takes the hold (controller user, host, process)., type: dict, default: {}}
  sums: {description: The SHA-256 lines of what is sent., type: str, default: ""}
  collected: {description: The digests of a stale hold's files as fetched., type: dict}
  break_hold: {description: Collect a stale hold whose report cannot be read., type: bool, default: false}
  collect: {description: Return a stale hold to be collected; false refuses the host instead., type: bool, default: true}
  fetched: {description: The digests of the reports the controller fetched., type: dict, default: {}}
  applied: {description: The checksum lines to keep as the host's record., type: str}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Take the hold
  orv.fleet.hold:
    dir: /opt/kep/tarvo
    rollout: "{{ orv_check.rollout }}"
    owner: "{{ orv_check.owner }}"
    sums: "{{ orv_check.sums }}"
"""

RETURN = r"""
taken: {description: Whether this call took the hold., type: bool, returned: state=present}
up_to_date: {description: Whether the host's record lists exactly I(sums)., type: bool, returned: state=present}
stale: {description: An earlier hold whose run is over, fetched (owner, report, job, files, digests, verdict)., type: dict, returned: when found}
outcome: {description: On failure, the host's outcome (busy, held, failed)., type: str, returned: failure}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.host import answer, release, take


def main():
    module = AnsibleModule(argument_spec=dict(
        dir=dict(type="path", required=True),
        state=dict(type="str", choices=["present", "absent"], default="present"),
        rollout=dict(type="str", required=True),
        owner=dict(type="dict", default={}),
        sums=dict(type="str", default=""),
        collected=dict(type="dict"),
        break_hold=dict(type="bool", default=False),
        collect=dict(type="bool", default=True),
        fetched=dict(type="dict", default={}),
        applied=dict(type="str"),
    ), supports_check_mode=True)
    p = module.params
    if p["state"] == "present":
        answer(module, lambda: take(p["dir"], p["owner"], p["sums"], p["rollout"], p["collected"], p["break_hold"],
                                    module.check_mode, p["collect"]))
    answer(module, lambda: release(p["dir"], p["rollout"], p["fetched"], p["applied"], module.check_mode))


if __name__ == "__main__":
    main()
