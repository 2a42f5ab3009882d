"""One object shared by several Python threads: every call sees a whole model and
a whole estimate, and nothing hangs, also when conversion code calls back in."""

from __future__ import annotations

import threading

from conftest import NAN6
from torso_geometry import make_pose

POSES = [make_pose((0.001 * k, -0.001 * k, 0.0005 * k), 0.02 * k, -0.01 * k, 0.03 * k) for k in range(8)]
RESETS = (make_pose((0.002, 0.0, 0.0)), make_pose((0.0, -0.003, 0.001), yaw=0.1))
JOIN_TIMEOUT = 60.0


def run_threads(targets):
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"


def test_threads_hammering_one_object_see_consistent_results(torso, fast_switching):
    expected = [torso.inverse_kinematics(p) for p in POSES]
    expected_safe = [torso.inverse_kinematics_safe(p, 0.2, 0.1, 0.15) for p in POSES]
    wrong = []

    def solve(offset):
        def work():
            for i in range(1500):
                k = (i + offset) % len(POSES)
                if torso.inverse_kinematics(POSES[k]) != expected[k]:
                    wrong.append(("ik", k))
                if torso.inverse_kinematics_safe(POSES[k], 0.2, 0.1, 0.15) != expected_safe[k]:
                    wrong.append(("safe", k))
        return work

    def reset_and_read():
        for i in range(1500):
            torso.reset_forward_kinematics(RESETS[i % 2])
            # With NaN angles no step is taken: the answer is one whole stored estimate.
            if torso.forward_kinematics(NAN6) not in RESETS:
                wrong.append(("fk", i))

    run_threads([solve(0), solve(3), solve(5), reset_and_read, reset_and_read])
    assert wrong == []


def test_conversion_code_may_call_the_same_object(torso):
    answers = []

    class YawThatAsks:
        def __float__(self):
            answers.append(torso.inverse_kinematics(POSES[1]))
            return 0.0

    def work():
        answers.append(torso.inverse_kinematics(POSES[2], YawThatAsks()))

    run_threads([work])
    assert answers == [torso.inverse_kinematics(POSES[1]), torso.inverse_kinematics(POSES[2], 0.0)]
