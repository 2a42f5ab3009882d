"""Hostile callers: argument lists built to break binding and conversion.

Values whose __float__, __index__, __len__ or __getitem__ raise, return the
wrong type, mutate or empty the container being converted or the call's keyword
dict, or call back into the object under call; numpy arrays of odd dtypes and
shapes; keyword mixes with repeated, unknown and unencodable names.

`Storm` makes the calls and checks that each one ends in an allowed way: a
result of the right shape, an ordinary exception, or PanicException, which
leaves the object poisoned exactly when it came from the core. Every choice is
drawn from a `Chooser` (random.Random in the test suite, a fuzzer's input in
tools/fuzz-hostile-callers), so the same seed or input replays the same calls.
"""

from __future__ import annotations

import array
import gc
import math
import warnings
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable, Protocol, Sequence

import numpy as np

import torso_geometry as ex
from tavrino_torso_kinematics import TavrinoTorsoKinematics

POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
SINGULAR = "called `Option::unwrap()` on a `None` value"
WRONG_BRANCH_COUNT = "Forward kinematics requires exactly 6 joint angles"
INVALID_YAW_LIMIT = "min > max, or either was NaN."
HOSTILE_PANIC = "hostile panic"
UNPRINTABLE_PANIC = "Unwrapped panic from Python code"

# Parameter names and kinds of every entry point, and how many are required.
SIGNATURES: dict[str, tuple[tuple[tuple[str, str], ...], int]] = {
    "__new__": ((("motor_arm_length", "float"), ("rod_length", "float")), 2),
    "add_branch": ((("branch_platform", "vec3"), ("t_world_motor", "pose"), ("solution", "float")), 3),
    "inverse_kinematics": ((("t_world_platform", "pose"), ("body_yaw", "optional")), 1),
    "reset_forward_kinematics": ((("t_world_platform", "pose"),), 1),
    "forward_kinematics": ((("joint_angles", "vec6"), ("body_yaw", "optional")), 1),
    "inverse_kinematics_safe": (
        (("t_world_platform", "pose"), ("body_yaw", "optional"), ("max_relative_yaw", "optional"),
         ("max_body_yaw", "optional")),
        1,
    ),
}
UNKNOWN_KEYWORDS = ["yaw", "", "self", "\udcff", "t_world_platform ", "Body_yaw", "motor_arm_length", "joint_angles"]
SANE_FLOATS = [0.0, -0.0, 0.25, -0.5, 1.0, 3.0, -2.0, math.pi, 5e-324, 1e300, math.inf, -math.inf, math.nan,
               0, 1, -3, True, 2**53 + 1]
ODD_DTYPES = [np.float32, np.float16, np.int8, np.uint64, np.bool_, np.complex128, np.longdouble, object,
              "U3", "S3", "datetime64[s]", [("a", "f8")]]


class Chooser(Protocol):
    def random(self) -> float: ...
    def randrange(self, stop: int) -> int: ...
    def choice(self, seq: Sequence[Any]) -> Any: ...


def poisons(message: str) -> bool:
    """Whether an internal error with this message happens while the lock is held."""
    return message in (SINGULAR, WRONG_BRANCH_COUNT) or message.startswith(INVALID_YAW_LIMIT)


class CallContext:
    """What the values of one call may attack: the object under call and the
    keyword dict that the call is made with."""

    def __init__(self, storm: Storm, model: TavrinoTorsoKinematics, method: str) -> None:
        self.storm, self.model, self.method = storm, model, method
        self.kwargs: dict[str, Any] = {}


class FloatSub(float):
    pass


class Hostile:
    """A number-like value whose __float__ runs `action` first, then returns
    `value` (raised instead if it is an exception)."""

    def __init__(self, action: Callable[[], None], value: Any) -> None:
        self.action, self.value = action, value

    def __float__(self) -> Any:
        self.action()
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IndexOnly:
    """A value convertible only through __index__."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class HostileSequence:
    """A sequence whose __len__ and __getitem__ misbehave as told."""

    def __init__(self, items: list[Any], length: Any, at: int, failure: Any, action: Callable[[], None]) -> None:
        self.items, self.length, self.at, self.failure, self.action = items, length, at, failure, action

    def __len__(self) -> Any:
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index: int) -> Any:
        if index == self.at:
            self.action()
            if isinstance(self.failure, BaseException):
                raise self.failure
            return self.failure
        return self.items[index]


class HostileList(list):
    """A list that, on reading item `at`, runs `action` (which may mutate it)."""

    def __init__(self, items: list[Any], at: int) -> None:
        super().__init__(items)
        self.at = at
        self.action: Callable[[], None] = lambda: None

    def __getitem__(self, index: Any) -> Any:
        if index == self.at:
            self.action()
        return super().__getitem__(index)


class Storm:
    def __init__(self, chooser: Chooser, panic_type: type[BaseException], pool_size: int = 4) -> None:
        self.rng = chooser
        self.panic_type = panic_type
        self.branch_counts: dict[TavrinoTorsoKinematics, int] = {}
        self.poisoned: set[TavrinoTorsoKinematics] = set()
        self.models = [self.fresh_model() for _ in range(pool_size)]
        self.depth = 0
        self.trace: list[str] = []

    def chance(self, probability: float) -> bool:
        # True for the high end of random(): a fuzzer's input that has run out
        # of data reads as zeros and so takes the ordinary, cheap branches.
        return self.rng.random() >= 1.0 - probability

    # ---- the calls -------------------------------------------------------

    def run(self, calls: int) -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # numpy's and the interpreter's complaints about odd values
            for number in range(calls):
                self.trace = [f"call {number}"]
                self.call(self.rng.choice(self.models))
                self.refresh_pool()

    def call(self, model: TavrinoTorsoKinematics) -> None:
        method = self.rng.choice(list(SIGNATURES))
        context = CallContext(self, model, method)
        if method == "__new__" and self.chance(0.2):
            args, kwargs = [], self.keywords_emptied_midway(context)
        else:
            args, kwargs = self.arguments(context)
        self.attempt(context, args, kwargs)

    def nested_call(self, model: TavrinoTorsoKinematics) -> None:
        if self.depth >= 2:
            return
        self.depth += 1
        self.trace.append("(nested")
        try:
            self.call(model)
        finally:
            self.trace.append(")")
            self.depth -= 1

    def attempt(self, context: CallContext, args: list[Any], kwargs: dict[str, Any]) -> None:
        model, method = context.model, context.method
        self.trace.append(f"{method} with {len(args)} positional, keywords {list(kwargs)!r}")
        target = TavrinoTorsoKinematics if method == "__new__" else getattr(model, method)
        try:
            result = target(*args, **kwargs)
        except Exception:  # noqa: BLE001 - an ordinary error is an allowed outcome
            return
        except BaseException as error:  # noqa: BLE001
            self.check(type(error) is self.panic_type, f"{type(error).__name__} escaped: {error!r}")
            self.check_panic(model, error.args)
            return
        self.check_result(model, method, result)

    def check_panic(self, model: TavrinoTorsoKinematics, args: tuple[Any, ...]) -> None:
        self.check(len(args) == 1 and isinstance(args[0], str), f"PanicException arguments {args!r}")
        message = args[0]
        if poisons(message):
            # From the core with the lock held, or resumed from a nested call on
            # this same object that failed that way.
            self.poisoned.add(model)
        elif message == POISONED:
            self.check(model in self.poisoned, "poisoned-lock error from an object that was never poisoned")
        else:
            self.check(message in (HOSTILE_PANIC, "", UNPRINTABLE_PANIC), f"unexpected panic {message!r}")

    def check_result(self, model: TavrinoTorsoKinematics, method: str, result: Any) -> None:
        if method == "__new__":
            self.check(type(result) is TavrinoTorsoKinematics, f"constructor returned {result!r}")
            self.branch_counts[result] = 0
            if self.chance(0.2):
                self.models[self.rng.randrange(len(self.models))] = result
            return
        self.check(model not in self.poisoned, f"{method} returned on a poisoned object")
        count = self.branch_counts[model]
        if method == "add_branch":
            self.check(result is None, f"add_branch returned {result!r}")
            self.branch_counts[model] = count + 1
        elif method == "reset_forward_kinematics":
            self.check(result is None, f"reset returned {result!r}")
        elif method == "forward_kinematics":
            self.check(count == 6 and type(result) is list and len(result) == 4, f"forward returned {result!r}")
            self.check(all(type(row) is list and len(row) == 4 for row in result), f"rows {result!r}")
            self.check(all(type(x) is float for row in result for x in row), f"items {result!r}")
        else:
            expected = count + (method == "inverse_kinematics_safe")
            self.check(type(result) is list and len(result) == expected, f"{method} returned {result!r}")
            self.check(all(type(x) is float for x in result), f"{method} returned {result!r}")

    def check(self, condition: bool, problem: str) -> None:
        if not condition:
            raise AssertionError(problem + "\n  after: " + " ".join(self.trace[-40:]))

    def verify_pool(self) -> None:
        """Every object in the pool is poisoned exactly when the calls said so."""
        identity = ex.identity()
        self.trace = ["final check of the pool"]
        for model in self.models:
            # Resetting the estimate takes the lock and cannot fail otherwise.
            try:
                model.reset_forward_kinematics(identity)
            except BaseException as error:  # noqa: BLE001
                self.check(model in self.poisoned and error.args == (POISONED,), f"final call raised {error!r}")
                continue
            self.check(model not in self.poisoned, "a poisoned object answered")
            try:
                angles = model.inverse_kinematics(identity)
            except BaseException as error:  # noqa: BLE001 - a singular motor pose added earlier
                self.check(error.args == (SINGULAR,), f"final call raised {error!r}")
            else:
                self.check(len(angles) == self.branch_counts[model], "branches lost or gained")

    # ---- the objects under call -------------------------------------------

    def fresh_model(self) -> TavrinoTorsoKinematics:
        if self.chance(0.5):
            model, count = ex.make_example_torso(), ex.BRANCH_COUNT
        else:
            model, count = TavrinoTorsoKinematics(1.0, 1.0), self.rng.randrange(8)
            for _ in range(count):
                model.add_branch((0.0, 0.0, 0.0), ex.identity(), self.rng.choice([1.0, -1.0]))
        self.branch_counts[model] = count
        return model

    def refresh_pool(self) -> None:
        """Poisoned objects are replaced now and then, so that most calls reach the core."""
        index = self.rng.randrange(len(self.models))
        if self.models[index] in self.poisoned and self.chance(0.5):
            self.models[index] = self.fresh_model()

    # ---- argument lists ----------------------------------------------------

    def arguments(self, context: CallContext) -> tuple[list[Any], dict[str, Any]]:
        parameters, required = SIGNATURES[context.method]
        positional_count = self.rng.randrange(len(parameters) + 1)
        args: list[Any] = []
        keywords: list[tuple[str, Any]] = []
        for index, (name, kind) in enumerate(parameters):
            if index < positional_count:
                args.append(self.value(kind, context))
            elif self.chance((0.9 if index < required else 0.5)):
                keywords.append((name, self.value(kind, context)))
        if self.chance(0.05):
            args.extend(self.value("float", context) for _ in range(1 + self.rng.randrange(2)))
            self.trace.append("too many")
        if args and self.chance(0.05):
            keywords.append((parameters[self.rng.randrange(min(len(args), len(parameters)))][0], 0.0))
            self.trace.append("repeated")
        if self.chance(0.05):
            keywords.append((self.rng.choice(UNKNOWN_KEYWORDS), 1.0))
            self.trace.append("unknown")
        # The order of the keywords is the order in which they are bound.
        while keywords:
            name, value = keywords.pop(self.rng.randrange(len(keywords)))
            context.kwargs[name] = value
        return args, context.kwargs

    def keywords_emptied_midway(self, context: CallContext) -> dict[str, Any]:
        """Both lengths by keyword: converting the first empties the keyword
        dicts, which held the only references to the second."""
        first, second = SIGNATURES["__new__"][0]
        if self.chance(0.5):
            first, second = second, first
        self.trace.append("keywords emptied midway")
        context.kwargs[first[0]] = Hostile(lambda: empty_keyword_dicts(context), 1.0)
        context.kwargs[second[0]] = Hostile(lambda: None, 2.0)
        return context.kwargs

    def value(self, kind: str, context: CallContext) -> Any:
        hostile = self.chance(0.25)
        if kind == "optional":
            if not hostile and self.chance(0.3):
                return None
            kind = "float"
        if kind == "float":
            return self.hostile_number(context, None) if hostile else self.rng.choice(SANE_FLOATS)
        if kind == "pose":
            return self.hostile_pose(context) if hostile else self.sane_pose()
        length = 3 if kind == "vec3" else 6
        if hostile:
            return self.hostile_sequence(length, context)
        values = [self.rng.random() * 0.2 - 0.1 for _ in range(length)]
        return self.rng.choice([values, tuple(values), np.array(values)])

    def sane_pose(self) -> Any:
        choice = self.rng.randrange(10)
        if choice == 0:
            return [[0.0] * 4 for _ in range(4)]  # singular as a motor pose
        if choice == 1:
            return [[math.nan] * 4 for _ in range(4)]
        pose = ex.make_pose(
            tuple(self.rng.random() * 0.02 - 0.01 for _ in range(3)),  # type: ignore[arg-type]
            self.rng.random() * 0.4 - 0.2, self.rng.random() * 0.4 - 0.2, self.rng.random() * 0.4 - 0.2)
        return self.rng.choice([pose, tuple(tuple(row) for row in pose), np.array(pose), [np.array(r) for r in pose]])

    def some_exception(self) -> BaseException:
        return self.rng.choice([
            lambda: ValueError("hostile"), lambda: TypeError("hostile"), lambda: OverflowError("hostile"),
            lambda: IndexError("hostile"), lambda: KeyError("hostile"), lambda: ZeroDivisionError(),
            lambda: RuntimeError("hostile"), lambda: MemoryError(), lambda: self.panic_type(HOSTILE_PANIC),
            lambda: self.panic_type(""), lambda: self.panic_type(),
        ])()

    def attack(self, context: CallContext, owner: list[Any] | None) -> Callable[[], None]:
        """Something to do in the middle of a conversion."""
        choice = self.rng.randrange(6)
        if choice == 0 and owner is not None:
            mutate = self.rng.choice([list.clear, list.reverse, lambda o: o.append(0.0), lambda o: o.pop(),
                                      lambda o: o.__delitem__(0) if o else None, lambda o: o.insert(0, "x")])
            return lambda: mutate(owner)
        if choice == 1:
            return context.kwargs.clear
        if choice == 2 and context.method == "__new__" and self.chance(0.3):
            # The constructor receives a copy of the caller's keywords; find and empty it.
            return lambda: empty_keyword_dicts(context)
        if choice == 3:
            return lambda: self.nested_call(context.model)
        return lambda: None

    def hostile_number(self, context: CallContext, owner: list[Any] | None) -> Any:
        choice = self.rng.randrange(5)
        if choice == 0:
            return Hostile(self.attack(context, owner), self.some_exception())
        if choice == 1:
            wrong = self.rng.choice(["1.0", None, 1, FloatSub(0.5), 1 + 2j, [1.0]])
            return Hostile(lambda: None, wrong)
        if choice == 2:
            return Hostile(self.attack(context, owner), self.rng.choice(SANE_FLOATS + [FloatSub(-0.5)]))
        if choice == 3:
            return IndexOnly(self.rng.choice([3, -1, 2**80, "3", 1.5, self.some_exception()]))
        return self.rng.choice([
            "1.0", b"1", None, object(), [1.0], (), {}, Decimal("1.5"), Fraction(1, 3), 1 + 2j, 10**400,
            -(10**400), np.float32(0.5), np.int64(7), np.complex128(1 + 1j), np.bool_(True), np.array(2.0),
            np.array([1.0]), np.array([1.0, 2.0]), np.datetime64("2020-01-01"), FloatSub(math.nan),
        ])

    def hostile_sequence(self, length: int, context: CallContext) -> Any:
        choice = self.rng.randrange(8)
        if choice <= 1:
            items: list[Any] = []
            for _ in range(length):
                items.append(self.hostile_number(context, items) if self.chance(0.4) else 0.01)
            return items if choice == 0 else tuple(items)
        if choice == 2:
            return [0.0] * self.rng.choice([0, length - 1, length + 1])
        if choice == 3:
            return self.rng.choice(["abcdef"[:length], bytes(range(1, length + 1)), bytearray(length), range(length),
                                    {i: 0.0 for i in range(length)}, {0.0}, None, 1.0, iter([0.0] * length),
                                    memoryview(array.array("d", [0.0] * length)), array.array("b", [1] * length)])
        if choice == 4:
            return self.odd_array([0.5] * length, (length,))
        if choice == 5:
            hostile_list = HostileList([0.0] * length, self.rng.randrange(length))
            hostile_list.action = self.attack(context, hostile_list)
            return hostile_list
        length_value = self.rng.choice([length, length, -1, "3", 2**70, 3.5, length + 1, self.some_exception()])
        failure = self.rng.choice([self.some_exception(), "x", None, self.hostile_number(context, None)])
        return HostileSequence([0.0] * length, length_value, self.rng.randrange(length), failure,
                               self.attack(context, None))

    def hostile_pose(self, context: CallContext) -> Any:
        choice = self.rng.randrange(6)
        identity = ex.identity()
        if choice <= 1:
            rows = [self.hostile_sequence(4, context) if self.chance(0.3) else row for row in identity]
            return rows if choice == 0 else tuple(rows)
        if choice == 2:
            shape = self.rng.choice([(4, 4), (4, 4), (4,), (4, 5), (3, 4), (4, 4, 1), (16,), (2, 2, 4), ()])
            return self.odd_array(np.eye(4).ravel().tolist(), shape)
        if choice == 3:
            layout = self.rng.choice([lambda a: a.T, lambda a: a[:, ::-1], np.asfortranarray, np.matrix,
                                      lambda a: a.astype(object)])
            return layout(np.eye(4))
        if choice == 4:
            cells = np.empty((4, 4), dtype=object)
            for r in range(4):
                for c in range(4):
                    cells[r, c] = self.hostile_number(context, None) if self.chance(0.2) else identity[r][c]
            return cells
        return self.hostile_sequence(4, context)

    def odd_array(self, values: list[float], shape: tuple[int, ...]) -> Any:
        size = math.prod(shape)
        flat = (values * (size // max(len(values), 1) + 1))[:size]
        dtype = self.rng.choice(ODD_DTYPES)
        try:
            return np.array(flat, dtype=np.float64).astype(dtype).reshape(shape)
        except (TypeError, ValueError):
            return np.array(flat).reshape(shape)


def empty_keyword_dicts(context: CallContext) -> None:
    """Empties every keyword dict of the call: the caller's and the copy that
    the constructor is given, which holds the only other references to values
    not yet converted."""
    names = {name for name, _ in SIGNATURES[context.method][0]}
    values = list(context.kwargs.values())
    for referrer in gc.get_referrers(*values):
        if isinstance(referrer, dict) and names & referrer.keys():
            referrer.clear()


def answers_of_a_fresh_torso() -> list[str]:
    """Every operation of a newly built example torso, as exact text (NaN and
    signed zeros included)."""
    torso = ex.make_example_torso()
    pose = ex.make_pose((0.004, -0.003, 0.002), 0.05, -0.08, 0.1)
    answers = [torso.inverse_kinematics(pose), torso.inverse_kinematics(pose, 0.2),
               torso.inverse_kinematics_safe(pose, 0.3, 0.1, 0.25)]
    angles = answers[0]
    torso.reset_forward_kinematics(ex.identity())
    answers += [torso.forward_kinematics(angles) for _ in range(3)]
    return [repr(answer) for answer in answers]
