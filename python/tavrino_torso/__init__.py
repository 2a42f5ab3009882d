"""tavrino_torso: the toolkit around the kinematics of a six-branch torso, on
numpy arrays.

- `Torso`, `Branch`, `Payload`, `Motors`: a torso's geometry in metres, what
  its platform carries and what its motors can do, read from and written to TOML
  files (`Torso.from_toml`, `Torso.to_toml`), or the built-in `Torso.example()`;
  a `DescriptionError` names what is wrong with a description.
- `Model`: the C++ kinematics, batched: inverse kinematics, forward kinematics
  that converges and says so (`ForwardKinematicsResult`), velocity Jacobians,
  conditioning, motor torques and inverse dynamics.
- `pose`, `from_quaternion`, `quaternion`, `rpy`, `unwrap`, `twists`: poses,
  angles and velocities as arrays.
- `check`, `workspace`: a torso's geometry checked, and its workspace swept.

Submodules: `tavrino_torso.plot` (pictures, with matplotlib),
`tavrino_torso.calibration`, `tavrino_torso.view` (a 3D view in the browser,
with viser) and `tavrino_torso.mjcf` (a MuJoCo model). The command line is
`tavrino-torso` (`tavrino_torso.cli`).

The modules lie in layers, each importing only from those below it: the command
line (`cli`); `calibration`, the viewer and the MuJoCo model (`view`, `mjcf`);
the check, the workspace and the pictures (`check`, `workspace`, `plot`); the
torso and its file, and poses (`torso`, `poses`); the compiled model and its
result types (`_native`, `_results`). None imports this
package's own names: what they need, they take from the module that defines it.

`tavrino_torso.check` and `tavrino_torso.workspace` are the functions: each is
bound here after its module has been loaded, and takes the module's place as
the package's attribute (`from tavrino_torso.check import CheckReport` still
reaches the module). The submodules plot and calibration are attributes too;
neither imports matplotlib or scipy before it draws or solves.
"""

from tavrino_torso import calibration, plot
from tavrino_torso._native import Model
from tavrino_torso._results import ForwardKinematicsResult
from tavrino_torso.check import check
from tavrino_torso.poses import from_quaternion, pose, quaternion, rpy, twists, unwrap
from tavrino_torso.torso import Branch, DescriptionError, Motors, Payload, Torso
from tavrino_torso.workspace import workspace

__all__ = [
    "Torso",
    "Branch",
    "Payload",
    "Motors",
    "DescriptionError",
    "Model",
    "ForwardKinematicsResult",
    "pose",
    "from_quaternion",
    "quaternion",
    "rpy",
    "unwrap",
    "twists",
    "check",
    "workspace",
]
