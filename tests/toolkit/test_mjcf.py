"""The MuJoCo model, simulated in MuJoCo: its motors put the platform where
inverse kinematics says, and hold it against gravity with the torques that
balance the platform's weight."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pytest

from tavrino_torso import Torso, pose, unwrap
from tavrino_torso.cli import main
from tavrino_torso.mjcf import mjcf
from tavrino_torso.view import solve

mujoco = pytest.importorskip("mujoco")

TILTED = pose(0.006, -0.004, 0.005, roll=0.1, pitch=-0.05, yaw=0.08)


def at_home(torso: Torso, gravity: bool) -> tuple[object, object]:
    model = mujoco.MjModel.from_xml_string(mjcf(torso))
    if not gravity:
        model.opt.gravity[:] = 0.0
    data = mujoco.MjData(model)
    mujoco.mj_resetDataKeyframe(model, data, model.key("home").id)
    return model, data


def platform_pose(model, data) -> np.ndarray:
    body = model.body("platform").id
    result = np.eye(4)
    result[:3, :3], result[:3, 3] = data.xmat[body].reshape(3, 3), data.xpos[body]
    return result


@pytest.mark.parametrize("axis", ["radial", "tangential"])
def test_motors_commanded_to_inverse_kinematics_angles_put_the_platform_at_that_pose(axis):
    torso = Torso.example() if axis == "radial" else Torso.symmetric(
        motor_radius=0.06, motor_spread=np.radians(15), anchor_radius=0.04, anchor_spread=np.radians(20),
        motor_arm_length=0.035, rod_length=0.09, home_height=0.08, axis="tangential", solutions=(1,) * 6)
    model, data = at_home(torso, gravity=False)
    mujoco.mj_forward(model, data)
    assert np.allclose(platform_pose(model, data), torso.home, atol=1e-12)  # assembled at home
    assert np.abs(data.efc_pos[data.efc_type == mujoco.mjtConstraint.mjCNSTR_EQUALITY]).max() < 1e-12
    target = np.asarray(torso.home) @ TILTED
    data.ctrl[:] = unwrap(torso.model().inverse_kinematics(target), data.ctrl)
    for _ in range(12000):  # 6 s: the tangential layout sways slowly near its singularity
        mujoco.mj_step(model, data)
    reached = platform_pose(model, data)
    assert np.abs(reached[:3, 3] - target[:3, 3]).max() < 1e-5
    assert np.abs(reached[:3, :3] - target[:3, :3]).max() < 1e-4


def loaded(torso: Torso, torque_limit: float) -> Torso:
    """The torso carrying 1.8 kg, its centre of mass off the platform's middle
    and 35 mm above the anchors, with motors of that torque limit."""
    class Loaded(Torso):
        payload = SimpleNamespace(mass=1.8, centre_of_mass=(0.004, -0.003, 0.12),
                                  inertia=((0.0042, 0.0001, 0.0), (0.0001, 0.0047, 0.0), (0.0, 0.0, 0.0061)))
        motors = SimpleNamespace(arm_inertia=3.5e-5, torque_limit=torque_limit)

    return Loaded(torso.motor_arm_length, torso.rod_length, torso.branches, torso.home)


@pytest.mark.parametrize("payload", [False, True])
def test_with_gravity_the_actuators_hold_the_platforms_weight_with_the_balancing_torques(payload):
    torso = loaded(Torso.example(), 1.1) if payload else Torso.example()
    model, data = at_home(torso, gravity=True)
    for _ in range(4000):
        mujoco.mj_step(model, data)
    assert np.abs(data.qvel).max() < 1e-6  # at rest
    at = platform_pose(model, data)
    body = model.body("platform").id
    weight = model.body_mass[body] * model.opt.gravity
    wrench = np.concatenate([weight, np.cross(data.xipos[body] - at[:3, 3], weight)])
    # Virtual work: for every motion, torques . motor speeds + wrench . twist = 0,
    # and the motor speeds are platform @ twist / joint.
    kinematics = torso.model()
    jacobians = kinematics.velocity_jacobians(at, kinematics.inverse_kinematics(at))
    torques = -jacobians.joint * np.linalg.solve(jacobians.platform.T, wrench)
    assert np.allclose(data.actuator_force, torques, rtol=0.03, atol=0)
    if payload:  # its mass where the file puts it, and the torques the view reads out
        assert model.body_mass[body] == 1.8 and np.allclose(model.actuator_forcerange, [-1.1, 1.1])
        assert np.allclose(data.xipos[body], at[:3, :3] @ [0.004, -0.003, 0.12] + at[:3, 3])
        shown = solve(torso, kinematics, at, 0.0).holding_torques
        assert shown is not None and np.allclose(shown, data.actuator_force, rtol=0.01, atol=0)


def test_the_command_writes_a_model_with_the_named_parts(tmp_path, capsys):
    out = tmp_path / "torso.xml"
    out.write_text("an older model")
    assert main(["export-mjcf", str(tmp_path / "missing.toml"), "-o", str(out)]) == 2
    assert out.read_text() == "an older model"  # a failed run leaves it as it was
    torso = Torso.example()
    torso.to_toml(tmp_path / "torso.toml")
    assert main(["export-mjcf", str(tmp_path / "torso.toml"), "-o", str(out), "--position-gain", "80"]) == 0
    assert f"MuJoCo model: {out}" in capsys.readouterr().out
    model = mujoco.MjModel.from_xml_path(str(out))
    names = {f"motor{i}" for i in range(6)}
    assert {model.joint(n).name for n in names} == names and {model.actuator(n).name for n in names} == names
    assert np.allclose(model.actuator_gainprm[:, 0], 80.0) and model.neq == 6 and model.body("platform").id > 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["torso.toml", "torso.xml"]  # no temporary file left
