#!/usr/bin/python
# One look at a run, for the watch action, which looks until the run is over.
from __future__ import annotations

DOCUMENTATION = r"""
module: watch
short_description: Watches a run started by orv.fleet.run until it is over
description:
  - Each look waits up to I(poll) seconds for the run to end (its hold's lock, passed to the
    program and the tool commands, and the program's own lock on the tool directory) and returns
    the job's record and the run's report; once the run is over, the last lines of the tool's
    output for each failed adapter.
  - The action looks until the run is over. A look that cannot reach the host, or takes longer
    than I(look_timeout) seconds, is missed; I(retries) missed looks in a row make the host
    unreachable, and a look that reaches it starts the count again.
options:
  dir: {description: The tool directory., type: path, required: true}
  poll: {description: Seconds a look waits for the end; and between missed looks., type: int, default: 5}
  retries: {description: Missed looks in a row that make the host unreachable., type: int, default: 3}
  look_timeout: {description: Seconds beyond I(poll) that a look may take., type: int, default: 120}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Watch the run
  orv.fleet.watch:
    dir: /opt/kep/tarvo
    poll: 5
"""

RETURN = r"""
done: {description: Whether the run is over., type: bool, returned: always}
report: {description: The run's report as it is now (null before its first write)., type: dict, returned: always}
report_sha256: {description: The report file's digest, for the release., type: str, returned: always}
job: {description: The job's record; C(ended), C(returncode), C(timed_out) once it ended., type: dict, returned: always}
tails: {description: File name to its last lines, once the run is over., type: dict, returned: always}
missed: {description: The looks that missed the host, in all., type: int, returned: always}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orv.fleet.plugins.module_utils.host import answer
from ansible_collections.orv.fleet.plugins.module_utils.runner import look


def main():
    module = AnsibleModule(argument_spec=dict(
        dir=dict(type="path", required=True),
        poll=dict(type="int", default=5),
        retries=dict(type="int", default=3),
        look_timeout=dict(type="int", default=120),
    ), supports_check_mode=True)
    answer(module, lambda: look(module.params["dir"], max(module.params["poll"], 0)))


if __name__ == "__main__":
    main()
