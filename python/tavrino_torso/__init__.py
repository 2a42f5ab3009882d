"""tavrino_torso: the toolkit around the kinematics of a six-branch torso.

- `Torso`, `Branch`: a torso's geometry in metres, read from and written to TOML
  files (`Torso.from_toml`, `Torso.to_toml`), or the built-in `Torso.example()`;
  a `DescriptionError` names what is wrong with a description.
- `Model`: the C++ kinematics with numpy arrays in and out, batched.
"""

from __future__ import annotations

from typing import Any

from .torso import Branch, DescriptionError, Torso

__all__ = ["Torso", "Branch", "DescriptionError", "Model", "ForwardKinematicsResult"]


def __getattr__(name: str) -> Any:
    # The compiled part is loaded on first use.
    if name == "Model":
        from ._native import Model

        return Model
    if name == "ForwardKinematicsResult":
        from ._results import ForwardKinematicsResult

        return ForwardKinematicsResult
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
