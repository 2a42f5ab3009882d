#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <random>

#include "internal_error_message.hpp"
#include "near_home_poses.hpp"
#include "torso_models.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;

// A platform with a payload off its axis and an inertia tensor off its axes,
// arms with rotors: every term of the dynamics counts.
Inertia loaded_platform() {
  Inertia inertia;
  inertia.mass = 1.8;
  inertia.centre_of_mass = Vector3(0.004, -0.003, 0.035);
  inertia.inertia << 0.0042, 0.0001, 0.0003, 0.0001, 0.0047, -0.0002, 0.0003, -0.0002, 0.0061;
  inertia.arm_inertia = 3.5e-5;
  return inertia;
}

Vector6 random_vector6(std::mt19937_64& rng, double linear, double angular) {
  std::normal_distribution<double> normal;
  Vector6 out;
  for (int i = 0; i < 6; ++i) out(i) = normal(rng) * (i < 3 ? linear : angular);
  return out;
}

// A motion through `start` at t = 0 whose velocity and acceleration are known in
// closed form: the origin moves as p0 + v t + a t^2 / 2, and the platform turns
// as exp(t [w1]) exp(t [w2]) R0, whose angular velocity w1 + exp(t [w1]) w2 is
// not of constant direction: at t = 0 it is w1 + w2, its rate w1 x w2.
struct Motion {
  Pose start;
  Vector3 v, a, w1, w2;

  Pose at(double t) const {
    const auto turn = [](const Vector3& w, double t) -> Eigen::Matrix3d {
      return w.norm() > 0 ? Eigen::AngleAxisd(t * w.norm(), w.normalized()).toRotationMatrix()
                          : Eigen::Matrix3d::Identity();
    };
    Pose out = start;
    out.topLeftCorner<3, 3>() = turn(w1, t) * turn(w2, t) * start.topLeftCorner<3, 3>();
    out.block<3, 1>(0, 3) += t * v + 0.5 * t * t * a;
    return out;
  }
  Vector6 twist(double t) const {
    const Eigen::Vector3d w = w1 + Eigen::AngleAxisd(t * w1.norm(), w1.normalized()) * Eigen::Vector3d(w2);
    Vector6 out;
    out << v + t * a, w;
    return out;
  }
  Vector6 twist_rate() const {  // at t = 0
    Vector6 out;
    out << a, w1.cross(w2);
    return out;
  }
};

Motion random_motion(std::mt19937_64& rng) {
  const Vector6 velocity = random_vector6(rng, 0.05, 1.0), turn = random_vector6(rng, 0.5, 1.0);
  return {random_pose_near_home(rng, kCentimetre, 15 * kDegree), velocity.head<3>(), turn.head<3>(),
          velocity.tail<3>(), turn.tail<3>()};
}

// By virtual work, the torques that hold a wrench take back, for every motion,
// the power the wrench puts in: sum tau qdot + W . V == 0. Both forms of the call
// give the same bits.
TEST(MotorTorques, BalanceTheWrenchForEveryMotion) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(71);
  for (int k = 0; k < 100; ++k) {
    const Pose pose = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const std::optional<double> yaw = k % 2 ? std::optional<double>(-0.4) : std::nullopt;
    const JointAngles q = angles_of(torso, pose, yaw);
    const Vector6 load = random_vector6(rng, 20.0, 1.0);  // N and N m
    const Wrench wrench{load.head<3>(), load.tail<3>()};
    const Vector6 torques = motor_torques(torso, pose, q, yaw, wrench);
    const VelocityJacobians jacobians = velocity_jacobians(torso, pose, q, yaw);
    EXPECT_EQ(torques, motor_torques(jacobians, wrench));
    const Vector6 twist = random_vector6(rng, 0.05, 1.0);
    const double motor_power = torques.dot(joint_velocities(jacobians, twist));
    const double load_power = load.dot(twist);
    EXPECT_NEAR(motor_power + load_power, 0.0, 1e-12 * load.cwiseAbs().dot(twist.cwiseAbs())) << k;
  }
}

// The motors' accelerations against second differences of inverse kinematics
// along motions whose twist and twist rate are known exactly.
TEST(JointAccelerations, AgreeWithSecondDifferencesOfInverseKinematics) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(73);
  constexpr double h = 1e-4;
  for (int k = 0; k < 100; ++k) {
    const Motion motion = random_motion(rng);
    const std::optional<double> yaw = k % 2 ? std::optional<double>(0.7) : std::nullopt;
    const JointAngles q = angles_of(torso, motion.start, yaw);
    const JointAngles ahead = angles_of(torso, motion.at(h), yaw), behind = angles_of(torso, motion.at(-h), yaw);
    Vector6 expected;
    for (int i = 0; i < 6; ++i) {
      expected(i) = (wrap_angle(ahead[i] - q[i]) - wrap_angle(q[i] - behind[i])) / (h * h);
    }
    const Vector6 found = joint_accelerations(torso, motion.start, q, yaw, motion.twist(0), motion.twist_rate());
    EXPECT_LT(relative_gap(found, expected), 1e-5) << k;
  }
}

// Along a motion, the motors' power is the rate of change of the energy: the
// kinetic energy of the platform with its payload and of the arms, and the
// potential energy -m g . p_c of the payload. Without the arms' inertia, the
// rods' wrench (each torque over j_i, through J^T) is also the rate of change of
// the platform's momentum less its weight, force and moment (which the energy
// does not see: w x I w does no work). Rates by central differences in time.
TEST(InverseDynamics, BalancesEnergyAndMomentum) {
  const Kinematics torso = ExampleTorso::make();
  const Vector3 gravity(0.3, -0.2, -9.81);
  std::mt19937_64 rng(79);
  constexpr double h = 1e-5;
  struct State {
    double energy;
    Vector3 momentum, angular_momentum;  // the latter about the centre of mass
  };
  const auto state = [&](const Inertia& inertia, const Motion& motion, double t, std::optional<double> yaw) {
    const Pose pose = motion.at(t);
    const Vector6 twist = motion.twist(t);
    const JointAngles q = angles_of(torso, pose, yaw);
    const Vector6 speeds = joint_velocities(velocity_jacobians(torso, pose, q, yaw), twist);
    const Rotation r = pose.topLeftCorner<3, 3>();
    const Vector3 rho = r * inertia.centre_of_mass, w = twist.tail<3>();
    const Vector3 momentum = inertia.mass * (twist.head<3>() + w.cross(rho));
    const Vector3 angular_momentum = r * inertia.inertia * r.transpose() * w;
    const double kinetic = 0.5 * momentum.squaredNorm() / inertia.mass + 0.5 * w.dot(angular_momentum) +
                           0.5 * inertia.arm_inertia * speeds.squaredNorm();
    return State{kinetic - inertia.mass * gravity.dot(pose.block<3, 1>(0, 3) + rho), momentum, angular_momentum};
  };
  for (int k = 0; k < 100; ++k) {
    Inertia inertia = loaded_platform();
    inertia.arm_inertia = k % 3 ? inertia.arm_inertia : 0.0;
    const Motion motion = random_motion(rng);
    const std::optional<double> yaw = k % 2 ? std::optional<double>(-1.1) : std::nullopt;
    const JointAngles q = angles_of(torso, motion.start, yaw);
    const Vector6 torques =
        inverse_dynamics(torso, inertia, motion.start, q, yaw, motion.twist(0), motion.twist_rate(), gravity);
    const VelocityJacobians jacobians = velocity_jacobians(torso, motion.start, q, yaw);
    const Vector6 speeds = joint_velocities(jacobians, motion.twist(0));
    const State ahead = state(inertia, motion, h, yaw), behind = state(inertia, motion, -h, yaw);
    EXPECT_NEAR(torques.dot(speeds), (ahead.energy - behind.energy) / (2 * h),
                1e-6 * torques.cwiseAbs().dot(speeds.cwiseAbs())) << k;
    if (inertia.arm_inertia != 0.0) continue;
    const Vector6 rod_wrench = jacobians.platform.transpose() * torques.cwiseQuotient(jacobians.joint);
    const Vector3 force = (ahead.momentum - behind.momentum) / (2 * h) - inertia.mass * gravity;
    const Vector3 rho = motion.start.topLeftCorner<3, 3>() * inertia.centre_of_mass;
    const Vector3 moment = (ahead.angular_momentum - behind.angular_momentum) / (2 * h) + rho.cross(force);
    Vector6 expected;
    expected << force, moment;
    EXPECT_LT(relative_gap(rod_wrench, expected), 1e-7) << k;
  }
}

// Standing still, the torques are those that hold the weight: the gravity
// feed-forward through motor_torques, whatever the arms' inertia.
TEST(InverseDynamics, AtRestHoldsTheWeight) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(83);
  Inertia inertia = loaded_platform();
  for (int k = 0; k < 20; ++k) {
    const Pose pose = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const JointAngles q = angles_of(torso, pose, {});
    const Vector3 gravity(0.0, 0.0, -9.81);
    inertia.arm_inertia = k % 2 ? 0.0 : 1e-3;
    const Vector6 held = motor_torques(torso, pose, q, {}, gravity_wrench(inertia, pose, gravity));
    EXPECT_EQ(inverse_dynamics(torso, inertia, pose, q, {}, Vector6::Zero(), Vector6::Zero(), gravity), held);
    EXPECT_GT(held.cwiseAbs().minCoeff(), 0.0);
  }
}

// NaN, never a wrong number: at a pose out of reach (angles NaN) and at a
// platform singularity; a branch at the edge of its reach takes no load. Six
// branches are needed.
TEST(Dynamics, NaNWhereThereIsNoAnswerAndSixBranchesNeeded) {
  const Kinematics torso = ExampleTorso::make();
  const Inertia inertia = loaded_platform();
  const Pose far = make_pose(Rotation::Identity(), Vector3(0.0, 0.0, 0.2));
  const JointAngles out_of_reach = angles_of(torso, far, {});
  const Vector6 twist = Vector6::Constant(0.1), g = Vector6::Zero();
  const Wrench weight{Vector3(0, 0, -10), Vector3::Zero()};
  EXPECT_TRUE(motor_torques(torso, far, out_of_reach, {}, weight).array().isNaN().all());
  EXPECT_TRUE(inverse_dynamics(torso, inertia, far, out_of_reach, {}, twist, g, Vector3(0, 0, -9.81))
                  .array().isNaN().all());
  EXPECT_TRUE(joint_accelerations(torso, far, out_of_reach, {}, twist, g).array().isNaN().all());

  const Kinematics upright = leaning_rods(0.0);
  EXPECT_TRUE(motor_torques(upright, Pose::Identity(), JointAngles{}, {}, weight).array().isNaN().all());
  EXPECT_FALSE(motor_torques(leaning_rods(0.3), Pose::Identity(), JointAngles{}, {}, weight).array().isNaN().any());

  VelocityJacobians edge = velocity_jacobians(torso, Pose::Identity(), angles_of(torso, Pose::Identity(), {}), {});
  edge.joint(4) = 0.0;
  const Vector6 torques = motor_torques(edge, weight);
  EXPECT_EQ(torques(4), 0.0);  // a rod square to its arm's motion loads the motor not at all
  EXPECT_FALSE(torques.array().isNaN().any());

  Kinematics five(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  for (int i = 0; i < 5; ++i) five.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
  const std::string refused = kSixBranchesMessage;
  const Pose home = Pose::Identity();
  EXPECT_EQ(internal_error_of([&] { motor_torques(five, home, JointAngles{}, {}, weight); }), refused);
  EXPECT_EQ(internal_error_of([&] { joint_accelerations(five, home, JointAngles{}, {}, twist, g); }), refused);
  EXPECT_EQ(internal_error_of([&] { inverse_dynamics(five, inertia, home, JointAngles{}, {}, twist, g, Vector3::Zero()); }),
            refused);
}

}  // namespace
}  // namespace tavrino
