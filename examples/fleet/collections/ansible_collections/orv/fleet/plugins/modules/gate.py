#!/usr/bin/python
# The health gate's dry run, for the gate action, which first waits for the host to answer.
from __future__ import annotations

DOCUMENTATION = r"""
module: gate
short_description: The health gate after a run
description:
  - The action waits I(settle) seconds, then tries to reach the host every I(poll) seconds; once
    it answers, this module runs the program's dry run in the tool directory with the files the
    run put there. It must list as many adapters as the run found, and the run's IDs first, in
    order; otherwise the host is unhealthy.
  - Bound the whole with the task's C(timeout) keyword (orv_settle_seconds + orv_health_timeout).
options:
  dir: {description: The tool directory., type: path, required: true}
  rollout: {description: The rollout's id; the hold must be this rollout's., type: str, required: true}
  info: {description: The info file's name., type: str, required: true}
  found: {description: The adapters the run found., type: int}
  ids: {description: The IDs of the adapters the run reached, in order., type: list, elements: raw, default: []}
  settle: {description: Seconds to wait before the first try., type: int, default: 0}
  poll: {description: Seconds between two tries to reach the host., type: int, default: 5}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Check the host's health after its run
  orv.fleet.gate:
    dir: /opt/kep/tarvo
    rollout: "{{ orv_check.rollout }}"
    info: info.txt
    found: 2
    ids: ["0x1111", "0x2222"]
  timeout: 630
"""

RETURN = r"""
report: {description: The dry run's report., type: dict, returned: always}
outcome: {description: On failure, the host's outcome (unhealthy)., type: str, returned: failure}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.host import answer
from ansible_collections.orv.fleet.plugins.module_utils.runner import gate


def main():
    module = AnsibleModule(argument_spec=dict(
        dir=dict(type="path", required=True),
        rollout=dict(type="str", required=True),
        info=dict(type="str", required=True),
        found=dict(type="int"),
        ids=dict(type="list", elements="raw", default=[]),
        settle=dict(type="int", default=0),
        poll=dict(type="int", default=5),
    ), supports_check_mode=True)
    p = module.params
    answer(module, lambda: gate(p["dir"], p["rollout"], p["info"], p["found"], p["ids"]))


if __name__ == "__main__":
    main()
