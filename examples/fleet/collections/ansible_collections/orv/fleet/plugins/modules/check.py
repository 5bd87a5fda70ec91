#!/usr/bin/python
# Documentation only: the check runs on the controller, as the action of the same name.
from __future__ import annotations

DOCUMENTATION = r"""
module: check
short_description: Checks what a rollout sends, once on the controller, before any host is touched
description:
  - Fails when C(orv_serial) or C(orv_max_fail_percentage) is set in the inventory (for a host or
    a group, host_vars and group_vars included), naming the variable and where; Ansible reads those
    play keywords only from extra vars.
  - Fails when C(orv_program), C(orv_info_file) or C(orv_packages) differ between the play's hosts.
  - Fails when a file to send is not a file, when two have the same name, or when the info file
    names a package that is not sent (the first word of a record's package, as the program reads it).
  - Returns each file's SHA-256, the sorted checksum lines of the info file and the packages, the
    report directory (made), and the rollout's id and owner (controller user, host and process).
  - Runs as an action on the controller; use it with C(run_once).
options:
  program: {description: The program to send., type: path, required: true}
  info_file: {description: The info file to send., type: path, required: true}
  packages: {description: The packages to send., type: list, elements: path, required: true}
  report_dir: {description: Where the fleet report goes., type: path, required: true}
  hosts: {description: The play's hosts., type: list, elements: str, required: true}
author: orvTQupdate developers
"""

EXAMPLES = r"""
- name: Check what is to be sent
  orv.fleet.check:
    program: files/orvTQupdate
    info_file: files/info.txt
    packages: [files/raid4-fw-2.10.pkg]
    report_dir: reports
    hosts: "{{ ansible_play_hosts_all }}"
  run_once: true
"""

RETURN = r"""
files: {description: Each file as the hosts get it (src, name, sha256, mode, role)., type: list, returned: success}
sums: {description: The sorted SHA-256 lines of the info file and the packages., type: str, returned: success}
rollout: {description: This rollout's id., type: str, returned: success}
owner: {description: Who rolls out (user, controller, pid, started)., type: dict, returned: success}
"""
