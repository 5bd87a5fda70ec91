# A connection to this machine that drops, for the fleet test: once the file named by flaky_down
# exists, the host cannot be reached; with flaky_from_reconnect true, only from the first time
# Ansible waits for the host to come back (wait_for_connection), so that the host answers while
# its run is watched and is gone after it. The file flaky_corrupt, once copied, gains a byte before
# every later command, as if something on the host changed it.
from __future__ import annotations

import os

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.connection.local import Connection as LocalConnection

DOCUMENTATION = """
name: flaky
short_description: this machine, unreachable once a file exists
description: Runs everything on this machine, as the local connection does, until it drops.
options:
  down:
    description: the file whose existence takes the host off the network
    default: ""
    vars: [{name: flaky_down}]
  corrupt:
    description: the file that changes after its copy
    default: ""
    vars: [{name: flaky_corrupt}]
  from_reconnect:
    description: drop only from the first wait for the host to come back
    type: bool
    default: false
    vars: [{name: flaky_from_reconnect}]
"""


class Connection(LocalConnection):
    transport = "flaky"
    _waited = False

    def _fail_if_down(self):
        if (self._waited or not self.get_option("from_reconnect")) and os.path.exists(self.get_option("down")):
            raise AnsibleConnectionFailure("host is off the network (%s exists)" % self.get_option("down"))

    def reset(self):
        self._waited = True

    def exec_command(self, *args, **kwargs):
        self._fail_if_down()
        if os.path.exists(self.get_option("corrupt")):
            with open(self.get_option("corrupt"), "ab") as changed:
                changed.write(b"\0")
        return super().exec_command(*args, **kwargs)

    def put_file(self, *args, **kwargs):
        self._fail_if_down()
        return super().put_file(*args, **kwargs)

    def fetch_file(self, *args, **kwargs):
        self._fail_if_down()
        return super().fetch_file(*args, **kwargs)
