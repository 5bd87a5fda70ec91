# Staging: every file transferred to the host's temporary directory, then written into the hold
# by the stage module. A transfer that fails is a connection failure: the host is unreachable.
from __future__ import annotations

from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        shell = self._connection._shell
        if not shell.tmpdir:
            self._make_tmp_path()
        try:
            sent, paths = [], []
            for i, f in enumerate(args.get("files") or []):
                remote = shell.join_path(shell.tmpdir, "staged-%d" % i)
                paths.append(self._transfer_file(f["src"], remote))
                sent.append(dict(f, src=remote))
            self._fixup_perms2([shell.tmpdir] + paths)
            args["files"] = sent
            result.update(self._execute_module(module_name="orv.fleet.stage", module_args=args, task_vars=task_vars))
        finally:
            self._remove_tmp_path(shell.tmpdir)
        return result
