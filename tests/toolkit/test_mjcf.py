"""The MuJoCo model, simulated in MuJoCo: its motors put the platform where
inverse kinematics says, and hold it against gravity with the torques that
balance the platform's weight."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

from tavrino_torso import Torso, pose, unwrap
from tavrino_torso.cli import main
from tavrino_torso.mjcf import mjcf
from tavrino_torso.torso import Motors
from tavrino_torso.view import solve

mujoco = pytest.importorskip("mujoco")

EXAMPLE = Torso.example()  # carries a payload of 1.8 kg, motors of 1.1 N m
TANGENTIAL = Torso.symmetric(
    motor_radius=0.06, motor_spread=np.radians(15), anchor_radius=0.04, anchor_spread=np.radians(20),
    motor_arm_length=0.035, rod_length=0.09, home_height=0.08, axis="tangential", solutions=(1,) * 6)
# Arms far lighter than the actuators' gains suit, without a torque limit to
# tame them: the model must shorten its time step to stay stable.
LIGHT_ARMS = dataclasses.replace(EXAMPLE, motors=Motors(arm_inertia=3e-6))
TILTED = pose(0.006, -0.004, 0.005, roll=0.1, pitch=-0.05, yaw=0.08)


def at_home(torso: Torso, gravity: bool) -> tuple[object, object]:
    model = mujoco.MjModel.from_xml_string(mjcf(torso))
    if not gravity:
        model.opt.gravity[:] = 0.0
    data = mujoco.MjData(model)
    mujoco.mj_resetDataKeyframe(model, data, model.key("home").id)
    return model, data


def simulate(model, data, seconds: float) -> None:
    for _ in range(round(seconds / model.opt.timestep)):
        mujoco.mj_step(model, data)


def platform_pose(model, data) -> np.ndarray:
    body = model.body("platform").id
    result = np.eye(4)
    result[:3, :3], result[:3, 3] = data.xmat[body].reshape(3, 3), data.xpos[body]
    return result


@pytest.mark.parametrize("torso, seconds", [(EXAMPLE, 1.0), (TANGENTIAL, 3.0), (LIGHT_ARMS, 0.5)],
                         ids=["payload", "tangential", "light arms"])
def test_motors_commanded_to_inverse_kinematics_angles_put_the_platform_at_that_pose(torso, seconds):
    model, data = at_home(torso, gravity=False)
    mujoco.mj_forward(model, data)
    assert np.allclose(platform_pose(model, data), torso.home, atol=1e-12)  # assembled at home
    assert np.abs(data.efc_pos[data.efc_type == mujoco.mjtConstraint.mjCNSTR_EQUALITY]).max() < 1e-12
    if torso.motors is not None:  # the arms as the file has them
        assert np.allclose(model.body_inertia[[model.body(f"arm{i}").id for i in range(6)]], torso.motors.arm_inertia)
    target = np.asarray(torso.home) @ TILTED
    data.ctrl[:] = unwrap(torso.model().inverse_kinematics(target), data.ctrl)
    simulate(model, data, seconds)  # the tangential layout sways slowly near its singularity
    reached = platform_pose(model, data)
    assert np.abs(reached[:3, 3] - target[:3, 3]).max() < 1e-5
    assert np.abs(reached[:3, :3] - target[:3, :3]).max() < 1e-4


# Without a payload the platform is a light body; gravity askew checks that the
# torso's gravity is the simulation's.
LIGHT_PLATFORM = dataclasses.replace(EXAMPLE, payload=None, motors=None, gravity=(1.5, -0.8, -9.6))


@pytest.mark.parametrize("torso", [EXAMPLE, LIGHT_PLATFORM], ids=["payload", "light platform"])
def test_with_gravity_the_actuators_hold_the_platforms_weight_with_the_balancing_torques(torso):
    model, data = at_home(torso, gravity=True)
    simulate(model, data, 1.0)
    assert np.abs(data.qvel).max() < 1e-6  # at rest
    at = platform_pose(model, data)
    body = model.body("platform").id
    assert np.allclose(model.opt.gravity, torso.gravity)
    weight = model.body_mass[body] * model.opt.gravity
    wrench = np.concatenate([weight, np.cross(data.xipos[body] - at[:3, 3], weight)])
    kinematics = torso.model()
    held = kinematics.motor_torques(at, kinematics.inverse_kinematics(at), wrench)
    assert np.allclose(data.actuator_force, held, rtol=0.02, atol=0)
    if torso.payload is not None:  # the file's payload and torque limit, and the torques the view reads out
        assert model.body_mass[body] == torso.payload.mass
        assert np.allclose(data.xipos[body], at[:3, :3] @ torso.payload.centre_of_mass + at[:3, 3])
        assert np.allclose(data.ximat[body].reshape(3, 3) @ np.diag(model.body_inertia[body])
                           @ data.ximat[body].reshape(3, 3).T, at[:3, :3] @ torso.payload.inertia @ at[:3, :3].T)
        assert np.allclose(model.actuator_forcerange, [-torso.motors.torque_limit, torso.motors.torque_limit])
        shown = solve(torso, kinematics, at, 0.0).holding_torques
        assert shown is not None and np.allclose(shown, data.actuator_force, rtol=0.02, atol=0)
    else:
        assert not model.actuator_forcelimited.any()
        assert solve(torso, kinematics, at, 0.0).holding_torques is None


def test_the_command_writes_a_model_with_the_named_parts(tmp_path, capsys):
    out = tmp_path / "torso.xml"
    out.write_text("an older model")
    assert main(["export-mjcf", str(tmp_path / "missing.toml"), "-o", str(out)]) == 2
    assert out.read_text() == "an older model"  # a failed run leaves it as it was
    EXAMPLE.to_toml(tmp_path / "torso.toml")
    assert main(["export-mjcf", str(tmp_path / "torso.toml"), "-o", str(out), "--position-gain", "80"]) == 0
    assert f"MuJoCo model: {out}" in capsys.readouterr().out
    model = mujoco.MjModel.from_xml_path(str(out))
    names = {f"motor{i}" for i in range(6)}
    assert {model.joint(n).name for n in names} == names and {model.actuator(n).name for n in names} == names
    assert np.allclose(model.actuator_gainprm[:, 0], 80.0) and model.neq == 6 and model.body("platform").id > 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["torso.toml", "torso.xml"]  # no temporary file left
