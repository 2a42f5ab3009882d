"""tavrino_torso: the toolkit for the Tavrino torso, on numpy arrays."""

from tavrino_torso._native import Model
from tavrino_torso._results import ForwardKinematicsResult

__all__ = ["ForwardKinematicsResult", "Model"]
