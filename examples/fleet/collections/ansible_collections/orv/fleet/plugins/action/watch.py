# The watch: looks at a run (the watch module, on the host) until it is over, counting the looks
# that cannot reach the host.
from __future__ import annotations

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase
from ansible_collections.orv.fleet.plugins.module_utils.looks import Missed, bounded, watch


class ActionModule(ActionBase):
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        poll, retries = max(int(args.get("poll", 5)), 1), max(int(args.get("retries", 3)), 1)
        limit = poll + int(args.get("look_timeout", 120))

        def look():
            try:
                with bounded(limit):
                    return self._execute_module(module_name="orv.fleet.watch", module_args=args, task_vars=task_vars)
            except AnsibleConnectionFailure as e:
                try:
                    self._connection.reset()
                except Exception:  # a connection that cannot even be reset is tried anew next time
                    pass
                raise Missed(str(e))

        result.update(watch(look, poll, retries))
        return result
