# A connection to this machine that misbehaves as real hosts do, for the fleet test. Counts that
# must outlive one task are kept in the JSON file flaky_state.
#   flaky_down FILE         once FILE exists, every command and transfer fails as unreachable;
#   flaky_down_times N      ... only the first N of them (0: all);
#   flaky_from_reset        ... only after the connection was reset (the health gate resets it
#                           before each try), so the host answers while its run is watched;
#   flaky_hang              ... hang instead of failing (a host that answers but never finishes);
#   flaky_drop_put NAME     the transfer of the controller's file NAME fails, the N-th time
#                           (flaky_drop_put_at, default 1) it is sent;
#   flaky_corrupt PATH      from the N-th time (flaky_corrupt_from, default 1) that the file PATH
#                           appears anew, it gains a byte before every later command.
from __future__ import annotations

import json
import os
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.connection.local import Connection as LocalConnection

DOCUMENTATION = """
name: flaky
short_description: this machine, with the faults of a real host
description: Runs everything on this machine, as the local connection does, with faults on request.
options:
  state: {description: the file that keeps counts between tasks, default: "", vars: [{name: flaky_state}]}
  down: {description: the file whose existence takes the host off the network, default: "", vars: [{name: flaky_down}]}
  down_times: {description: how many operations fail once down (0 all), type: int, default: 0, vars: [{name: flaky_down_times}]}
  from_reset: {description: fail only after a reset, type: bool, default: false, vars: [{name: flaky_from_reset}]}
  hang: {description: hang instead of failing, type: bool, default: false, vars: [{name: flaky_hang}]}
  drop_put: {description: the name of a file whose transfer fails, default: "", vars: [{name: flaky_drop_put}]}
  drop_put_at: {description: which transfer of it fails, type: int, default: 1, vars: [{name: flaky_drop_put_at}]}
  corrupt: {description: the file that changes after its copy, default: "", vars: [{name: flaky_corrupt}]}
  corrupt_from: {description: from which appearance it changes, type: int, default: 1, vars: [{name: flaky_corrupt_from}]}
"""


class Connection(LocalConnection):
    transport = "flaky"
    _was_reset = False

    def _counts(self, update):
        path = self.get_option("state")
        counts = {}
        if path and os.path.exists(path):
            with open(path) as f:
                counts = json.load(f)
        answer = update(counts)
        if path:
            with open(path + ".tmp", "w") as f:
                json.dump(counts, f)
            os.replace(path + ".tmp", path)
        return answer

    def _fail_if_down(self):
        down = self.get_option("down")
        if not down or not os.path.exists(down) or (self.get_option("from_reset") and not self._was_reset):
            return
        times = self.get_option("down_times")
        if times:
            def count(c):
                c["down"] = c.get("down", 0) + 1
                return c["down"] <= times
            if not self._counts(count):
                return
        if self.get_option("hang"):
            time.sleep(3600)
        raise AnsibleConnectionFailure("host is off the network (%s exists)" % down)

    def _corrupt(self):
        path = self.get_option("corrupt")
        if not path or not os.path.exists(path):
            return
        inode = os.stat(path).st_ino

        def seen(c):
            if c.get("inode") != inode:
                c["inode"], c["appeared"] = inode, c.get("appeared", 0) + 1
            return c["appeared"] >= self.get_option("corrupt_from")
        if self._counts(seen):
            with open(path, "ab") as changed:
                changed.write(b"\0")

    def reset(self):
        self._was_reset = True

    def exec_command(self, *args, **kwargs):
        self._fail_if_down()
        self._corrupt()
        return super().exec_command(*args, **kwargs)

    def put_file(self, in_path, out_path):
        self._fail_if_down()
        if self.get_option("drop_put") == os.path.basename(in_path):
            def count(c):
                c["put"] = c.get("put", 0) + 1
                return c["put"] == self.get_option("drop_put_at")
            if self._counts(count):
                raise AnsibleConnectionFailure("connection dropped while %s was sent" % in_path)
        return super().put_file(in_path, out_path)

    def fetch_file(self, *args, **kwargs):
        self._fail_if_down()
        return super().fetch_file(*args, **kwargs)
