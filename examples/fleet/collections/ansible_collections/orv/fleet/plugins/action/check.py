# The controller's check before any host is touched: where the rollout's variables are set, that
# every host sends the same files, that those files are fit to send; then their digests, the
# report directories, and this rollout's id and owner.
from __future__ import annotations

import getpass
import os
import socket
import time

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible.vars.plugins import get_vars_from_inventory_sources, get_vars_from_path
from ansible_collections.orv.fleet.plugins.module_utils.sent import Unfit, differing, files_to_send

PLAY_ONLY = ("orv_serial", "orv_max_fail_percentage")
SAME = ("orv_program", "orv_info_file", "orv_packages")


class ActionModule(ActionBase):
    _supports_check_mode = True

    def _inventory_sets(self, task_vars, hosts):
        """Where the inventory (or host_vars and group_vars) sets a variable that only -e may."""
        hostvars = task_vars["hostvars"]
        inventory, loader = hostvars._inventory, self._loader
        sources = task_vars.get("ansible_inventory_sources") or []
        found = []
        for name in hosts:
            host = inventory.get_host(name)
            for entity in sorted(host.get_groups(), key=lambda g: g.depth) + [host]:
                where = "group %s" % entity.name if entity is not host else "host %s" % entity.name
                values = dict(entity.get_vars())
                for stage in ("inventory", "task"):
                    values.update(get_vars_from_inventory_sources(loader, sources, [entity], stage))
                    values.update(get_vars_from_path(loader, task_vars.get("playbook_dir", "."), [entity], stage))
                for var in PLAY_ONLY:
                    if var in values and (var, where) not in found:
                        found.append((var, where))
        return found

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        hosts = list(args.get("hosts") or [])
        placed = self._inventory_sets(task_vars, hosts)
        if placed:
            raise AnsibleActionFail("%s; Ansible reads them only from extra vars (-e): set there, and not in the "
                                    "inventory; no host was touched" % "; ".join(
                                        "%s is set in the inventory for %s" % p for p in placed))
        hostvars = task_vars["hostvars"]
        for var in SAME:
            differ = differing({h: hostvars[h].get(var) for h in hosts})
            if differ:
                raise AnsibleActionFail("%s must be the same for every host, and is %s; no host was touched" % (var, differ))
        try:
            files, sums = files_to_send(args["program"], args["info_file"], args["packages"])
        except (Unfit, OSError) as e:
            raise AnsibleActionFail(str(e))
        report_dir = args["report_dir"]
        try:
            os.makedirs(report_dir, mode=0o755, exist_ok=True)
        except OSError as e:
            raise AnsibleActionFail("the report directory %s cannot be made: %s; no host was touched" % (report_dir, e.strerror))
        controller, pid = socket.gethostname(), os.getppid()
        started = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        result.update(
            files=files, sums=sums, info=files[1]["name"], report_dir=report_dir,
            rollout="%s-%d-%s" % (controller, pid, started),
            owner=dict(user=getpass.getuser(), controller=controller, pid=pid, started=started),
            changed=False)
        return result
