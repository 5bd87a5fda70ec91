# Tests on the registered result of a step: whether it passed (ran, reached its host, did not
# fail, loop items included), and whether a list of steps holds a fault.
from __future__ import annotations

from ansible_collections.orv.fleet.plugins.module_utils.judge import fault, passed


def faulty(results):
    return any(fault(r) is not None for r in (results if isinstance(results, list) else [results]))


class TestModule:
    def tests(self):
        return {"passed": passed, "faulty": faulty}
