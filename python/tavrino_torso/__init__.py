"""tavrino_torso: the toolkit around the kinematics of a six-branch torso, on
numpy arrays.

- `Torso`, `Branch`: a torso's geometry in metres, read from and written to TOML
  files (`Torso.from_toml`, `Torso.to_toml`), or the built-in `Torso.example()`;
  a `DescriptionError` names what is wrong with a description.
- `Model`: the C++ kinematics, batched: inverse kinematics, forward kinematics
  that converges and says so (`ForwardKinematicsResult`), velocity Jacobians and
  conditioning.
- `pose`, `from_quaternion`, `quaternion`, `rpy`, `unwrap`: poses and angles as arrays.
- `check`, `workspace`: a torso's geometry checked, and its workspace swept.

Submodules: `tavrino_torso.plot` (pictures, with matplotlib),
`tavrino_torso.calibration`, `tavrino_torso.view` (a 3D view in the browser,
with viser) and `tavrino_torso.mjcf` (a MuJoCo model). The command line is `tavrino-torso`.
"""

from tavrino_torso._native import Model
from tavrino_torso._results import ForwardKinematicsResult
from tavrino_torso.checking import check
from tavrino_torso.poses import from_quaternion, pose, quaternion, rpy, unwrap
from tavrino_torso.torso import Branch, DescriptionError, Torso
from tavrino_torso.reach import workspace

# The submodules are there as attributes too; neither imports matplotlib or
# scipy before it draws or solves.
from tavrino_torso import calibration, plot  # noqa: E402  (they build on the names above)

__all__ = [
    "Torso",
    "Branch",
    "DescriptionError",
    "Model",
    "ForwardKinematicsResult",
    "pose",
    "from_quaternion",
    "quaternion",
    "rpy",
    "unwrap",
    "check",
    "workspace",
]
