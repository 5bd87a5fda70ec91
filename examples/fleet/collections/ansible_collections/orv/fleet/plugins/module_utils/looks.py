# The controller's side of watching and gating a host: looks repeated until an answer, a missed
# look counted, each look bounded in time within the task's own timeout.
from __future__ import annotations

import signal
import time
from contextlib import contextmanager


class Missed(Exception):
    """A look that did not reach the host, or took too long."""


@contextmanager
def bounded(seconds):
    """Raises Missed when the block takes longer than SECONDS; the task's own alarm (its timeout
    keyword), when it is due first, still ends the task."""
    left = signal.alarm(0)
    outer = signal.getsignal(signal.SIGALRM)
    started = time.monotonic()
    if left and left <= seconds:
        signal.alarm(left)
        yield
        return

    def late(signum, frame):
        raise Missed("no answer within %d s" % seconds)

    signal.signal(signal.SIGALRM, late)
    signal.alarm(max(int(seconds), 1))
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, outer)
        if left:
            signal.alarm(max(1, left - int(time.monotonic() - started)))


def watch(look, poll, retries, sleep=time.sleep, clock=time.monotonic):
    """Calls LOOK until its result says the run is over. A look that raises Missed is counted;
    RETRIES of them in a row end the watch as unreachable, a look that answers resets the count.
    Returns the last result, with the number of missed looks."""
    missed, in_a_row, last = 0, 0, None
    while True:
        started = clock()
        try:
            result = look()
        except Missed as e:
            missed, in_a_row = missed + 1, in_a_row + 1
            last = str(e)
            if in_a_row >= retries:
                return dict(unreachable=True, missed=missed,
                            msg="%d looks in a row could not reach the host, %d s apart: %s" % (in_a_row, poll, last))
            sleep(poll)
            continue
        in_a_row = 0
        result["missed"] = missed
        if result.get("failed") or result.get("done"):
            return result
        sleep(max(0.0, poll - (clock() - started)))


def reach(attempt, poll, sleep=time.sleep):
    """Calls ATTEMPT until it reaches the host (the task's timeout ends a host that never does)."""
    while True:
        try:
            return attempt()
        except Missed:
            sleep(poll)
