import signal
import time

import pytest

from ansible_collections.orv.fleet.plugins.module_utils.looks import Missed, bounded, reach, watch


def looks(*answers):
    """A look that gives each answer in turn: a dict, or Missed."""
    answers = list(answers)

    def look():
        answer = answers.pop(0)
        if answer is Missed:
            raise Missed("no route to host")
        return dict(answer)
    return look


def test_missed_looks_in_a_row_make_the_host_unreachable():
    slept = []
    result = watch(looks({"done": False}, Missed, Missed, Missed), 5, 3, slept.append, clock=lambda: 0)
    assert result["unreachable"] and result["missed"] == 3
    assert result["msg"] == "3 looks in a row could not reach the host, 5 s apart: no route to host"


def test_a_look_that_reaches_the_host_starts_the_count_again():
    result = watch(looks(Missed, Missed, {"done": False}, Missed, Missed, {"done": True, "report": 1}), 1, 3,
                   lambda s: None, clock=lambda: 0)
    assert result == {"done": True, "report": 1, "missed": 4}


def test_looks_are_poll_apart_only_when_a_look_returns_early():
    slept, now = [], iter([0, 0.2, 10, 15])
    watch(looks({"done": False}, {"done": False}, {"done": True}), 5, 3, slept.append, clock=lambda: next(now, 99))
    assert slept == [4.8, 0.0]


def test_a_failed_look_ends_the_watch():
    assert watch(looks({"failed": True, "msg": "the hold is gone"}), 1, 3, lambda s: None)["failed"]


def test_reach_tries_until_the_host_answers():
    slept = []
    assert reach(looks(Missed, Missed, {"report": 2}), 7, slept.append) == {"report": 2}
    assert slept == [7, 7]


def test_a_look_is_bounded_and_the_task_alarm_kept():
    def outer(signum, frame):
        raise TimeoutError("task")
    old = signal.signal(signal.SIGALRM, outer)
    try:
        signal.alarm(30)
        with pytest.raises(Missed):
            with bounded(1):
                time.sleep(5)
        assert 25 <= signal.alarm(0) <= 30
        signal.alarm(1)
        with pytest.raises(TimeoutError):
            with bounded(10):
                time.sleep(5)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)
