# The fleet report on the controller: the host's report and kept outcome, then the summaries
# rebuilt from every host's, under a lock so that hosts reporting at once each see the others.
from __future__ import annotations

import base64
import fcntl
import json
import os
import time

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible_collections.orv.fleet.plugins.module_utils.host import write_file
from ansible_collections.orv.fleet.plugins.module_utils.summary import KEPT, csv_rows, entries_in, markdown


class ActionModule(ActionBase):
    _supports_check_mode = True

    def _write(self, path, text, errors):
        try:
            write_file(path, text)
        except OSError as e:
            errors.append("%s: %s" % (path, e.strerror))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        directory, host = args["dir"], args.get("host") or task_vars["inventory_hostname"]
        errors = []
        if args.get("outcome"):
            report = args.get("report")
            entry = dict(host=host, outcome=args["outcome"], message=list(args.get("message") or []),
                         step=args.get("step"), rollout=args.get("rollout"),
                         time=time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                         report=report if isinstance(report, dict) else None)
            if isinstance(report, dict) and args.get("keep_report", True):
                self._write(os.path.join(directory, host + ".json"), json.dumps(report, indent=4) + "\n", errors)
            for name, data in (args.get("fetched") or {}).items():
                held = os.path.join(directory, "%s.held" % host)
                try:
                    os.makedirs(held, mode=0o755, exist_ok=True)
                except OSError as e:
                    errors.append("%s: %s" % (held, e.strerror))
                self._write(os.path.join(held, name), base64.b64decode(data or ""), errors)
            self._write(os.path.join(directory, host + KEPT), json.dumps(entry, indent=1) + "\n", errors)
        try:
            with open(os.path.join(directory, ".summary.lock"), "a") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                entries, unread = entries_in(directory, list(args.get("order") or []))
                errors += ["%s cannot be read" % u for u in unread]
                self._write(os.path.join(directory, "summary.csv"), csv_rows(entries), errors)
                self._write(os.path.join(directory, "summary.md"), markdown(entries, args.get("plan_only", False)), errors)
        except OSError as e:
            errors.append("%s: %s" % (e.filename or directory, e.strerror))
        if errors:
            raise AnsibleActionFail("could not write the fleet report on the controller: %s" % "; ".join(errors))
        result["changed"] = False
        return result
