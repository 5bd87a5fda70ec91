# The health gate: after the settle time, tries to reach the host until it answers, then runs the
# gate module there. The task's timeout keyword bounds the whole, a hanging attempt included.
from __future__ import annotations

import time

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase
from ansible_collections.orv.fleet.plugins.module_utils.looks import Missed, reach


class ActionModule(ActionBase):
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        time.sleep(max(int(args.get("settle", 0)), 0))
        poll = max(int(args.get("poll", 5)), 1)

        def attempt():
            try:
                self._connection.reset()
                return self._execute_module(module_name="orv.fleet.gate", module_args=args, task_vars=task_vars)
            except AnsibleConnectionFailure as e:
                raise Missed(str(e))

        result.update(reach(attempt, poll))
        return result
