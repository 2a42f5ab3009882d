"""tavrino_torso.Model, the compiled model over numpy arrays: its inverse
kinematics against the class it must match bit for bit, every batched call
against the same call made one sample at a time (under broadcasting and with
any memory layout, misaligned included), input read in place, the errors for
wrong arguments, the torso's home as the default start, the list of
assemblies, NaN in and NaN out, and batches that Ctrl-C stops."""

from __future__ import annotations

import _thread
import dataclasses
import math
import signal
import threading
import tracemalloc
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pytest

from tavrino_torso import Model, Torso, pose
from tavrino_torso._results import Conditioning, ForwardKinematicsResult, Inertia, VelocityJacobians
from tavrino_torso_kinematics import TavrinoTorsoKinematics

from .support import make_pose

SEED = 15


def example_model() -> Model:
    return Torso.example().model()


def unit_pair() -> tuple[Model, TavrinoTorsoKinematics]:
    """Three branches of unit arm and rod on identity motor frames: a branch
    count other than six, and many poses out of reach."""
    model, torso = Model(1.0, 1.0), TavrinoTorsoKinematics(1.0, 1.0)
    for solution in (1.0, -1.0, 1.0):
        model.add_branch([0.0, 0.0, 0.0], np.eye(4), solution)
        torso.add_branch((0.0, 0.0, 0.0), np.eye(4).tolist(), solution)
    return model, torso


def poses_near_home(count: int, rng: np.random.Generator, reach: float = 0.01) -> np.ndarray:
    """Translations within `reach` and roll, pitch and yaw within 15 degrees."""
    angle = math.radians(15.0)
    return np.array([
        make_pose(tuple(rng.uniform(-reach, reach, 3)), *rng.uniform(-angle, angle, 3))
        for _ in range(count)
    ])


def bits(values: Any) -> np.ndarray:
    array = np.asarray(values, dtype=np.float64)
    return np.ascontiguousarray(array).view(np.uint64)


@pytest.mark.parametrize("body_yaw", [None, 0.4, -3.0])
def test_inverse_kinematics_equals_the_class_bit_for_bit(body_yaw: float | None) -> None:
    rng = np.random.default_rng(SEED)
    # Near home, and up to 5 cm out, where some branches cannot reach (NaN).
    poses = np.concatenate([poses_near_home(200, rng), poses_near_home(100, rng, reach=0.05)])
    unit_model, unit_torso = unit_pair()
    unit_targets = poses.copy()
    unit_targets[:, :3, 3] *= 60.0  # 0.6 to 3 units out, against arm and rod of 1
    for model, torso, targets in [
        (example_model(), Torso.example().kinematics(), poses),
        (unit_model, unit_torso, unit_targets),
    ]:
        expected = [torso.inverse_kinematics(pose.tolist(), body_yaw) for pose in targets]
        angles = model.inverse_kinematics(targets, body_yaw)
        assert angles.shape == (len(targets), model.branch_count)
        assert np.array_equal(bits(angles), bits(expected))
        assert np.isnan(angles).any() and not np.isnan(angles).all()


def sample_pools(rng: np.random.Generator) -> dict[str, np.ndarray]:
    """Values for each kind of argument; angles are the inverse kinematics of
    poses, starts other poses near home, so that the solvers do real work."""
    model = example_model()
    poses = poses_near_home(64, rng)
    angles = model.inverse_kinematics(poses)
    jacobians = model.velocity_jacobians(poses, angles)
    return {
        "poses": poses,
        "angles": angles,
        "start": poses_near_home(64, rng),
        "platform": jacobians.platform,
        "joint": jacobians.joint,
        "vector": rng.normal(size=(64, 6)),
    }


Call = Callable[[Model, Sequence[Any]], Any]

# name: the call, and the pool and sample shape of each array argument.
CALLS: dict[str, tuple[Call, list[tuple[str, tuple[int, ...]]]]] = {
    "inverse_kinematics": (lambda m, a: m.inverse_kinematics(a[0], 0.2), [("poses", (4, 4))]),
    "solve_forward_kinematics": (
        lambda m, a: m.solve_forward_kinematics(a[0], a[1], body_yaw=None, tolerance=1e-13, max_iterations=8),
        [("angles", (6,)), ("start", (4, 4))],
    ),
    "velocity_jacobians": (lambda m, a: m.velocity_jacobians(a[0], a[1], 0.1), [("poses", (4, 4)), ("angles", (6,))]),
    "conditioning": (lambda m, a: m.conditioning(a[0], a[1]), [("poses", (4, 4)), ("angles", (6,))]),
    "joint_velocities": (
        lambda m, a: m.joint_velocities(VelocityJacobians(a[0], a[1]), a[2]),
        [("platform", (6, 6)), ("joint", (6,)), ("vector", (6,))],
    ),
    "platform_twist": (
        lambda m, a: m.platform_twist((a[0], a[1]), joint_velocities=a[2]),
        [("platform", (6, 6)), ("joint", (6,)), ("vector", (6,))],
    ),
    "motor_torques": (
        lambda m, a: m.motor_torques(a[0], a[1], a[2], 0.1),
        [("poses", (4, 4)), ("angles", (6,)), ("vector", (6,))],
    ),
    "joint_accelerations": (
        lambda m, a: m.joint_accelerations(a[0], a[1], a[2], a[3]),
        [("poses", (4, 4)), ("angles", (6,)), ("vector", (6,)), ("vector", (6,))],
    ),
    "inverse_dynamics": (
        lambda m, a: m.inverse_dynamics(a[0], a[1], twist=a[2], twist_rate=a[3], body_yaw=-0.3),
        [("poses", (4, 4)), ("angles", (6,)), ("vector", (6,)), ("vector", (6,))],
    ),
}

# Batch shapes, one per argument (the last one repeats for further arguments):
# equal, one argument a single sample, and broadcasting both ways.
BATCHES = [[(7,)], [(2, 3), ()], [(), (4,)], [(4, 1), (1, 3)], [(3,), (2, 1, 3), (1,)], [(0, 2)], [()]]


def fields(result: Any) -> list[np.ndarray]:
    return [np.asarray(field) for field in result] if isinstance(result, tuple) else [np.asarray(result)]


def assert_same(actual: Any, expected: Any) -> None:
    assert type(actual) is type(expected)
    for got, want in zip(fields(actual), fields(expected), strict=True):
        assert got.shape == want.shape and got.dtype == want.dtype
        if got.dtype.kind == "f":
            assert np.array_equal(bits(got), bits(want))
        else:
            assert np.array_equal(got, want)


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("batches", BATCHES, ids=str)
def test_batches_equal_single_samples(name: str, batches: list[tuple[int, ...]]) -> None:
    call, parameters = CALLS[name]
    rng = np.random.default_rng(SEED)
    pools = sample_pools(rng)
    model = example_model()
    args = []
    for i, (pool, sample_shape) in enumerate(parameters):
        batch = batches[min(i, len(batches) - 1)]
        count = math.prod(batch)
        chosen = pools[pool][rng.integers(0, len(pools[pool]), count)]
        args.append(chosen.reshape(batch + sample_shape))
    shape = np.broadcast_shapes(*(a.shape[: a.ndim - len(p[1])] for a, p in zip(args, parameters)))
    result = call(model, args)
    expected_fields = [[] for _ in fields(result)]
    for index in np.ndindex(shape):
        single = [np.broadcast_to(a, shape + p[1])[index] for a, p in zip(args, parameters)]
        for collected, field in zip(expected_fields, fields(call(model, single)), strict=True):
            collected.append(field)
    for field, collected in zip(fields(result), expected_fields, strict=True):
        assert field.shape[: len(shape)] == shape
        expected = np.array(collected, dtype=field.dtype).reshape(field.shape)
        assert_same(field, expected)
    if name == "solve_forward_kinematics" and result.status.size:
        assert isinstance(result, ForwardKinematicsResult) and result.status.dtype.kind == "U"
        assert result.iterations.dtype == np.int64
    if name == "conditioning":
        assert isinstance(result, Conditioning)


def test_any_layout_or_real_dtype_gives_the_float64_result() -> None:
    rng = np.random.default_rng(SEED)
    model = example_model()
    poses = poses_near_home(12, rng).reshape(3, 4, 4, 4)
    angles = model.inverse_kinematics(poses)
    reference = [model.inverse_kinematics(poses), model.velocity_jacobians(poses, angles),
                 model.solve_forward_kinematics(angles, poses)]
    fortran = np.asfortranarray(poses)
    strided = np.zeros((3, 4, 4, 8))
    strided[..., ::2] = poses
    for pose_input in [fortran, strided[..., ::2], poses.tolist(), poses[::-1][::-1]]:
        assert_same(model.inverse_kinematics(pose_input), reference[0])
        assert_same(model.velocity_jacobians(pose_input, angles.tolist()), reference[1])
        assert_same(model.solve_forward_kinematics(np.asfortranarray(angles), pose_input), reference[2])
    # Integers and single precision convert by value.
    home = model.inverse_kinematics(np.eye(4))
    for exact in [np.eye(4, dtype=np.int32), np.eye(4, dtype=np.float32), [[int(r == c) for c in range(4)] for r in range(4)]]:
        assert_same(model.inverse_kinematics(exact), home)


def misaligned(array: np.ndarray) -> np.ndarray:
    """The same float64 values, C-contiguous at an address that is no multiple of 8."""
    out = np.frombuffer(bytearray(array.nbytes + 1), np.float64, array.size, offset=1).reshape(array.shape)
    out[...] = array
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


def test_misaligned_arrays_give_the_results_of_aligned_ones() -> None:
    # Read in place, they would be read through misaligned pointers, which the
    # sanitized run of this suite reports as undefined behaviour.
    pools = sample_pools(np.random.default_rng(SEED))
    model = example_model()
    for call, parameters in CALLS.values():
        args = [pools[pool][:5] for pool, _ in parameters]
        assert_same(call(model, [misaligned(a) for a in args]), call(model, args))
    built = Model(0.04, 0.09, home=misaligned(np.eye(4)))
    for branch in Torso.example().branches:
        built.add_branch(misaligned(np.array(branch.anchor)), misaligned(np.array(branch.t_world_motor)), branch.solution)
    assert_same(built.inverse_kinematics(pools["poses"]), model.inverse_kinematics(pools["poses"]))
    assert_same(model.assemblies(misaligned(pools["angles"][0])), model.assemblies(pools["angles"][0]))


def traced_peak(call: Callable[[], Any]) -> int:
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_float64_contiguous_input_is_read_in_place() -> None:
    # numpy reports its allocations to tracemalloc; the results are the
    # module's own memory, which it does not see.
    model = example_model()
    poses = np.ascontiguousarray(np.broadcast_to(np.eye(4), (20_000, 4, 4)))
    angles = np.zeros((20_000, 6))
    assert traced_peak(lambda: model.inverse_kinematics(poses)) < poses.nbytes // 8
    assert traced_peak(lambda: model.conditioning(poses, angles)) < poses.nbytes // 8
    assert traced_peak(lambda: model.inverse_kinematics(poses.astype(np.float32))) > poses.nbytes


IDENTITY = np.eye(4)
ZEROS6 = np.zeros(6)

# The call, the exception, and what its message must say.
ERRORS: list[tuple[Callable[[Model], Any], type[Exception], list[str]]] = [
    (lambda m: m.inverse_kinematics(np.eye(3)), ValueError, ["inverse_kinematics", "'poses'", "(..., 4, 4)", "(3, 3)"]),
    (lambda m: m.inverse_kinematics(np.zeros((5, 4, 3))), ValueError, ["'poses'", "(..., 4, 4)", "(5, 4, 3)"]),
    (lambda m: m.inverse_kinematics(1.0), ValueError, ["'poses'", "(..., 4, 4)", "got ()"]),
    (lambda m: m.inverse_kinematics(IDENTITY + 0j), TypeError, ["'poses'", "(..., 4, 4)", "complex128"]),
    (lambda m: m.inverse_kinematics(None), TypeError, ["'poses'", "(..., 4, 4)", "NoneType"]),
    (lambda m: m.inverse_kinematics("pose"), TypeError, ["'poses'", "(..., 4, 4)", "str"]),
    (lambda m: m.inverse_kinematics([[1.0, 0.0], [0.0]]), ValueError, ["'poses'", "(..., 4, 4)"]),
    (lambda m: m.solve_forward_kinematics(np.zeros(5)), ValueError, ["'angles'", "(..., 6)", "(5,)"]),
    (lambda m: m.solve_forward_kinematics(ZEROS6, np.eye(4)[:3]), ValueError, ["'start'", "(..., 4, 4)", "(3, 4)"]),
    (lambda m: m.solve_forward_kinematics(np.zeros((2, 6)), np.zeros((3, 4, 4))), ValueError,
     ["do not broadcast", "'angles' (2,)", "'start' (3,)"]),
    (lambda m: m.solve_forward_kinematics(ZEROS6, tolerance=-1e-9), ValueError, ["'tolerance'", "got -1e-09"]),
    (lambda m: m.solve_forward_kinematics(ZEROS6, tolerance=math.nan), ValueError, ["'tolerance'"]),
    (lambda m: m.solve_forward_kinematics(ZEROS6, max_iterations=-1), ValueError, ["'max_iterations'"]),
    (lambda m: m.assemblies(np.zeros((2, 6))), ValueError, ["assemblies", "'angles'", "(6,)", "(2, 6)"]),
    (lambda m: Model(1.0, 1.0, home=np.eye(3)), ValueError, ["Model(): 'home'", "(4, 4)", "(3, 3)"]),
    (lambda m: Model(1.0, 1.0, home=np.full((4, 4), np.inf)), ValueError, ["'home'", "finite"]),
    (lambda m: m.velocity_jacobians(IDENTITY, np.zeros(7)), ValueError, ["velocity_jacobians", "'angles'", "(..., 6)"]),
    (lambda m: m.conditioning(IDENTITY, np.array(["a"] * 6)), TypeError, ["conditioning", "'angles'", "(..., 6)"]),
    (lambda m: m.joint_velocities(np.zeros((6, 6)), ZEROS6), TypeError, ["'jacobians'", "VelocityJacobians"]),
    (lambda m: m.joint_velocities((np.zeros((6, 5)), ZEROS6), ZEROS6), ValueError,
     ["'jacobians.platform'", "(..., 6, 6)"]),
    (lambda m: m.platform_twist((np.zeros((6, 6)), ZEROS6), np.zeros(3)), ValueError,
     ["'joint_velocities'", "(..., 6)"]),
    (lambda m: m.add_branch([0.0, 0.0], IDENTITY, 1.0), ValueError, ["add_branch", "'anchor'", "(3,)", "(2,)"]),
    (lambda m: m.add_branch(np.zeros((1, 3)), IDENTITY, 1.0), ValueError, ["'anchor'", "(3,)", "(1, 3)"]),
    (lambda m: m.add_branch(ZEROS6[:3], np.stack([IDENTITY] * 2), 1.0), ValueError,
     ["'t_world_motor'", "(4, 4)", "(2, 4, 4)"]),
    (lambda m: m.add_branch(ZEROS6[:3], np.zeros((4, 4)), 1.0), ValueError, ["'t_world_motor'", "invertible"]),
    (lambda m: m.motor_torques(IDENTITY, ZEROS6, ZEROS6[:3]), ValueError, ["motor_torques", "'wrench'", "(..., 6)"]),
    (lambda m: m.inverse_dynamics(np.stack([IDENTITY] * 2), ZEROS6, ZEROS6, np.zeros((3, 6))), ValueError,
     ["inverse_dynamics", "do not broadcast", "'poses' (2,)", "'twist_rate' (3,)"]),
    (lambda m: m.joint_accelerations(IDENTITY, ZEROS6, None, ZEROS6), TypeError, ["'twist'", "(..., 6)"]),
    (lambda m: m.set_inertia(-1.0, ZEROS6[:3], np.eye(3)), ValueError, ["set_inertia", "'mass'"]),
    (lambda m: m.set_inertia(1.0, ZEROS6[:3], np.eye(3), math.inf), ValueError, ["set_inertia", "'arm_inertia'"]),
    (lambda m: m.set_inertia(1.0, ZEROS6[:3], np.eye(2)), ValueError, ["'inertia'", "(3, 3)", "(2, 2)"]),
    (lambda m: m.set_inertia(1.0, [0.0, math.nan, 0.0], np.eye(3)), ValueError, ["'centre_of_mass'", "finite"]),
    (lambda m: setattr(m, "gravity", [0.0, -9.81]), ValueError, ["gravity", "(3,)"]),
]


@pytest.mark.parametrize(("call", "error", "fragments"), ERRORS)
def test_wrong_arguments_name_the_argument_and_the_expected_shape(
    call: Callable[[Model], Any], error: type[Exception], fragments: list[str]
) -> None:
    model = example_model()
    with pytest.raises(error) as raised:
        call(model)
    assert type(raised.value) is error
    for fragment in fragments:
        assert fragment in str(raised.value)
    assert model.branch_count == 6  # a rejected branch is not added


@pytest.mark.parametrize("branches", [0, 5])
def test_velocity_kinematics_and_conditioning_need_six_branches(branches: int) -> None:
    model = Model(1.0, 1.0)
    for _ in range(branches):
        model.add_branch(ZEROS6[:3], IDENTITY, 1.0)
    model.set_inertia(1.0, ZEROS6[:3], np.eye(3))
    for call in (model.velocity_jacobians, model.conditioning, lambda p, q: model.motor_torques(p, q, ZEROS6),
                 lambda p, q: model.joint_accelerations(p, q, ZEROS6, ZEROS6),
                 lambda p, q: model.inverse_dynamics(p, q, ZEROS6, ZEROS6)):
        with pytest.raises(ValueError, match=f"exactly 6 branches, it has {branches}"):
            call(IDENTITY, ZEROS6)
    with pytest.raises(ValueError, match=f"exactly 6 branches, it has {branches}"):
        model.assemblies(ZEROS6)
    assert model.solve_forward_kinematics(ZEROS6).status == "invalid_model"


def raised_torso() -> Torso:
    """The example torso with its platform frame in the anchors' plane, so that
    home is 85 mm up: the identity is far from any assembly."""
    example = Torso.example()
    branches = tuple(dataclasses.replace(b, anchor=(b.anchor[0], b.anchor[1], 0.0)) for b in example.branches)
    return dataclasses.replace(example, branches=branches, home=pose(0.0, 0.0, 0.085).tolist())


def test_home_is_where_solves_and_the_one_step_estimate_start() -> None:
    torso = raised_torso()
    model = torso.model()
    assert np.array_equal(model.home, np.array(torso.home)) and np.array_equal(Model(1.0, 1.0).home, np.eye(4))
    targets = model.home @ poses_near_home(50, np.random.default_rng(SEED))
    angles = model.inverse_kinematics(targets)
    found = model.solve_forward_kinematics(angles)
    assert (found.status == "converged").all() and np.allclose(found.poses, targets, atol=1e-10)
    kinematics = torso.kinematics()
    for _ in range(10):
        estimate = np.array(kinematics.forward_kinematics(angles[0].tolist()))
    assert np.allclose(estimate, targets[0], atol=1e-4)  # the one step stops at a residual norm of 1e-6
    # assemblies sorts by the distance from this home: the target comes first.
    listed = model.assemblies(angles[0])
    assert listed.dtype == np.float64 and listed.ndim == 3 and listed.shape[1:] == (4, 4) and len(listed) >= 2
    assert np.allclose(listed[0], targets[0], atol=1e-10)
    assert (model.solve_forward_kinematics(angles[0], listed).status == "converged").all()


def test_a_right_answer_where_a_branchs_other_mode_is_near_half_a_turn_converges() -> None:
    # Inverse kinematics loses digits there (2e-10 rad); the mode is judged by
    # the nearer of the two mode angles, so the answer is not refused.
    m = Model(0.03, 0.12)
    for i, (mo, an) in enumerate(zip([-15, 15, 105, 135, 225, 255], [-40, 40, 80, 160, 200, 280])):
        c, s, k = math.cos(math.radians(mo)), math.sin(math.radians(mo)), (-1) ** i
        t = np.eye(4)
        t[:3, 0], t[:3, 2] = [c, s, 0], [-k * s, k * c, 0]
        t[:3, 1], t[:3, 3] = np.cross(t[:3, 2], t[:3, 0]), [0.07 * c, 0.07 * s, 0]
        m.add_branch([0.045 * math.cos(math.radians(an)), 0.045 * math.sin(math.radians(an)), 0], t, k)
    target = pose(-0.0007764281859249378, -0.0011776445545044478, 0.11320876362856772,
                  -0.18803937159101997, 0.15915312324097003, 0.14500978800876396)
    found = m.solve_forward_kinematics(m.inverse_kinematics(target), start=pose(0, 0, 0.11))
    assert found.status == "converged" and found.rod_error < 1e-15
    assert np.abs(found.poses - target).max() < 1e-9


def test_nan_or_infinite_input_gives_nan_rows_and_nan_conditioning() -> None:
    model = example_model()
    angles = model.inverse_kinematics(IDENTITY)
    angles[3] = math.inf
    poses = np.stack([IDENTITY, IDENTITY])
    poses[1, 0, 3] = math.nan
    jacobians = model.velocity_jacobians(poses, angles)
    quality = model.conditioning(poses, angles)
    assert np.isnan(jacobians.platform[0, 3]).all() and np.isfinite(np.delete(jacobians.platform[0], 3, 0)).all()
    assert np.isnan(jacobians.platform[1]).all() and np.isnan(jacobians.joint[1]).all()
    assert np.isnan(quality.transmission[:, 3]).all() and np.isnan(quality.inverse_condition).all()


def test_a_batch_stops_at_ctrl_c() -> None:
    # Seconds of work (solves from half a turn away, which wander); Ctrl-C
    # arrives after a tenth of a second and must end the call.
    # Python's own handler, which raises KeyboardInterrupt: a process started in
    # the background of a shell begins with Ctrl-C ignored, and interrupt_main
    # then does nothing.
    model = example_model()
    angles = np.broadcast_to(model.inverse_kinematics(IDENTITY), (400_000, 6))
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            model.solve_forward_kinematics(angles, pose(0.0, 0.0, 0.0, roll=math.pi))
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)


def test_the_dynamics_take_the_torsos_payload_arms_and_gravity() -> None:
    torso = Torso.example()
    assert torso.payload is not None and torso.motors is not None
    model = torso.model()
    inertia = model.inertia
    assert inertia is not None and isinstance(inertia, Inertia)
    assert (inertia.mass, tuple(inertia.centre_of_mass)) == (torso.payload.mass, torso.payload.centre_of_mass)
    assert np.array_equal(inertia.inertia, torso.payload.inertia)
    assert inertia.arm_inertia == torso.motors.arm_inertia
    assert np.array_equal(model.gravity, torso.gravity)
    # Without a payload there is nothing to accelerate: inverse dynamics says
    # so, statics need none. A model's gravity can be changed.
    bare = dataclasses.replace(torso, payload=None).model()
    assert bare.inertia is None
    angles = bare.inverse_kinematics(IDENTITY)
    with pytest.raises(ValueError, match=r"no inertia: give the torso a \[payload\] table"):
        bare.inverse_dynamics(IDENTITY, angles, ZEROS6, ZEROS6)
    weight = [0.0, 0.0, -torso.payload.mass * 9.81, 0.0, 0.0, 0.0]
    held = bare.motor_torques(IDENTITY, angles, weight)
    model.gravity = [0.0, 0.0, 0.0]
    assert not model.inverse_dynamics(IDENTITY, angles, ZEROS6, ZEROS6).any()
    model.gravity = (0.0, 0.0, -9.81)
    centred = dataclasses.replace(torso, payload=dataclasses.replace(torso.payload, centre_of_mass=(0.0, 0.0, 0.0)))
    assert np.allclose(centred.model().inverse_dynamics(IDENTITY, angles, ZEROS6, ZEROS6), held, rtol=1e-14)
