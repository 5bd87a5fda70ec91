#!/usr/bin/python
# The host's half of staging: the transferred copies into the hold.
from __future__ import annotations

DOCUMENTATION = r"""
module: stage
short_description: Sends files into the rollout's hold, each checked against its SHA-256
description:
  - The action transfers every file to the host, then this module writes each into the hold as a
    new file of the connecting (or become) user, with its mode, after checking its SHA-256.
  - A transfer that fails makes the host unreachable, as any connection failure does.
options:
  dir: {description: The tool directory., type: path, required: true}
  rollout: {description: The rollout's id; the hold must be this rollout's., type: str, required: true}
  files:
    description: The files, each with C(src) (the controller's path), C(name), C(sha256) and C(mode).
    type: list
    elements: dict
    required: true
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Stage the files in the hold
  orv.fleet.stage:
    dir: /opt/kep/tarvo
    rollout: "{{ orv_check.rollout }}"
    files: "{{ orv_check.files }}"
"""

RETURN = r"""
staged: {description: The names written into the hold., type: list, returned: success}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.host import answer, stage


def main():
    module = AnsibleModule(argument_spec=dict(
        dir=dict(type="path", required=True),
        rollout=dict(type="str", required=True),
        files=dict(type="list", elements="dict", required=True),
    ), supports_check_mode=True)
    p = module.params
    answer(module, lambda: stage(p["dir"], p["rollout"], p["files"], module.check_mode))


if __name__ == "__main__":
    main()
