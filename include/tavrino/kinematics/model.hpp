#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include <tavrino/kinematics/pose.hpp>

namespace tavrino {

// The 3x6 map from a platform velocity (v, w) to the velocity v + w x b of the
// anchor point b: [I | -[b]x].
using AnchorJacobian = FixedMatrix<3, 6>;

// One motor angle per branch of a six-branch torso, in radians, in branch order.
using JointAngles = std::array<double, 6>;

// One kinematic chain: a motor on the body, its arm, and the rod to the platform.
// A plain record of 38 doubles, never changed once added to a model.
struct Branch {
  Pose t_world_motor;              // the motor frame in the world, body at yaw zero
  AnchorJacobian anchor_jacobian;  // derived from branch_platform when the branch is added
  Vector3 branch_platform;         // the rod's anchor, in platform coordinates
  double solution;                 // multiplies the square root in the closed-form angle
};
static_assert(sizeof(Branch) == 38 * sizeof(double), "Branch must stay a plain record of 38 doubles");

AnchorJacobian make_anchor_jacobian(const Vector3& b) noexcept;
Branch make_branch(const Vector3& branch_platform, const Pose& t_world_motor, double solution) noexcept;

// The model of one mechanism: its fixed geometry and nothing else. Branches are
// only ever appended, while the model is built; the lengths never change. Every
// solver takes the model by const reference and keeps its own state apart (the
// one-step forward kinematics in a ForwardKinematicsEstimate), so once built a
// model may be shared by any number of threads.
// Nothing is validated: any lengths, poses and solutions are stored as given and
// only show when a solver runs.
//
// Building a model allocates (the branch storage); once built, the solvers that a
// control loop calls do not.
class Kinematics {
 public:
  // No branches.
  Kinematics(double motor_arm_length, double rod_length) noexcept;

  // Appends a branch; its joint index is the number of branches before the call.
  // Throws: std::bad_alloc when the branch storage cannot grow; nothing else.
  void add_branch(const Vector3& branch_platform, const Pose& t_world_motor, double solution);

  const std::vector<Branch>& branches() const noexcept { return branches_; }

  // The inverse of each branch's t_world_motor, in branch order, worked out by
  // try_inverse when the branch is added: the very values that inverting the
  // motor poses at every call would give, without the cost. Empty for a motor
  // pose whose determinant is exactly zero; the solver that needs it reports
  // that when it reaches the branch, not add_branch.
  const std::vector<std::optional<Pose>>& motor_pose_inverses() const noexcept {
    return motor_pose_inverses_;
  }
  double motor_arm_length() const noexcept { return motor_arm_length_; }
  double rod_length() const noexcept { return rod_length_; }
  // The most step attempts of one forward_kinematics call: 16.
  std::size_t fk_max_iterations() const noexcept { return fk_max_iterations_; }

 private:
  std::vector<Branch> branches_;
  std::vector<std::optional<Pose>> motor_pose_inverses_;  // beside branches_, same length
  double motor_arm_length_;
  double rod_length_;
  std::size_t fk_max_iterations_;
};

}  // namespace tavrino
