"""Wrong calls, one per line marked "error": a type checker must report each of
them and nothing else."""

from tavrino_torso_kinematics import TavrinoTorsoKinematics

IDENTITY = [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]

torso = TavrinoTorsoKinematics(0.05, 0.12)
TavrinoTorsoKinematics(0.05)  # error: missing rod_length
torso.add_branch("abc", IDENTITY, 1.0)  # error: a string is no sequence of floats
torso.add_branch([0.0, 0.0, 0.0], IDENTITY, "1.0")  # error: a string is no float
torso.inverse_kinematics(IDENTITY, body_yaw="0.3")  # error: nor an optional float
torso.inverse_kinematics([1.0, 0.0, 0.0, 0.0])  # error: a pose is a sequence of rows
torso.forward_kinematics([0.0] * 6, yaw=0.1)  # error: no such keyword
torso.inverse_kinematics_safe(IDENTITY, None, None, None, None)  # error: too many arguments
angles: list[str] = torso.inverse_kinematics(IDENTITY)  # error: the angles are floats
torso.reset_forward_kinematics(IDENTITY).copy()  # error: it returns None


class Extended(TavrinoTorsoKinematics):  # error: the class cannot be subclassed
    pass
