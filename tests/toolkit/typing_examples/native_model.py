"""Uses every call of tavrino_torso.Model as documented, with numpy arrays and
plain sequences; mypy --strict must accept it and infer these result types."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

from tavrino_torso import ForwardKinematicsResult, Model
from tavrino_torso._results import Conditioning, VelocityJacobians

model = Model(0.04, rod_length=0.09)
for k in range(6):
    angle = k * np.pi / 3
    motor = np.array([[-np.sin(angle), 0, np.cos(angle), 0.05 * np.cos(angle)],
                      [np.cos(angle), 0, np.sin(angle), 0.05 * np.sin(angle)],
                      [0, 1, 0, 0], [0, 0, 0, 1]])
    assert_type(model.add_branch((0.04 * np.cos(angle), 0.04 * np.sin(angle), 0.085), motor, (-1.0) ** k), None)
assert_type(model.branch_count, int)
assert_type(model.motor_arm_length, float)

poses: NDArray[np.float64] = np.broadcast_to(np.eye(4), (10, 4, 4))
angles = model.inverse_kinematics(poses)
assert_type(angles, NDArray[np.float64])
assert_type(model.inverse_kinematics(np.eye(4).tolist(), body_yaw=0.1), NDArray[np.float64])

result = model.solve_forward_kinematics(angles, start=poses, tolerance=1e-12, max_iterations=20)
assert_type(result, ForwardKinematicsResult)
converged: NDArray[np.bool_] = result.status == "converged"
assert_type(result.poses, NDArray[np.float64])
assert_type(result.iterations, NDArray[np.int64])
assert_type(model.solve_forward_kinematics([0.0] * 6).rod_error, NDArray[np.float64])

jacobians = model.velocity_jacobians(result.poses, angles, body_yaw=None)
assert_type(jacobians, VelocityJacobians)
speeds = model.joint_velocities(jacobians, np.zeros(6))
assert_type(model.platform_twist(jacobians, joint_velocities=speeds), NDArray[np.float64])
assert_type(model.conditioning(result.poses, angles), Conditioning)
assert_type(model.conditioning(result.poses, angles).inverse_condition, NDArray[np.float64])
