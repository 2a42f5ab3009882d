#pragma once

// Rigid motions of the platform for the iterative solver: a start made rigid,
// and a pose moved by a twist without leaving SE(3).

#include "kinematics/pose.hpp"

namespace tavrino::detail {

// The rotation block of m made orthonormal by Gram-Schmidt: the first column
// normalised, the second made orthogonal to it and normalised, the third their
// cross product. The identity when the first two columns are zero or parallel
// (or not finite), where no orientation can be read from them.
Rotation orthonormal_rotation(const Pose& m) noexcept;

// exp([w]x), the rotation by |w| radians about w (Rodrigues' formula, with the
// series of sin(x)/x and (1 - cos x)/x^2 for tiny angles so that the rotation
// stays exact to rounding however small w is).
Rotation rotation_exp(const Vector3& w) noexcept;

// The platform at rotation r and origin t moved by the twist (v, w), taken in
// world coordinates about the platform's origin: the origin moves by v and the
// platform turns by exp([w]x) about it. The rotation is made orthonormal again
// after the product, so that it stays orthonormal to a few units of roundoff
// however many steps are taken.
void move_by_twist(Rotation& r, Vector3& t, const Vector3& v, const Vector3& w) noexcept;

}  // namespace tavrino::detail
