// Times the core solvers on the six-branch example torso against baselines
// measured in the same process, interleaved, so that the ratios hold on a
// loaded or throttled machine even when the absolute figures drift. A baseline
// is a floor only where it is a true lower bound:
//
// - inverse kinematics against its floor, the maths library work it cannot
//   avoid, six times atan2, sqrt and floor on the arguments the torso really
//   produces;
// - one forward kinematics step against one fixed-size Eigen JacobiSVD (full U
//   and V) of the Jacobians the torso really produces: a baseline, a reference
//   computation that the step does not need, no floor;
//
// - solve_forward_kinematics tracking the demo trajectory (200 Hz, one call per
//   tick from the previous solution), velocity_jacobians and conditioning,
//   each against one forward kinematics step from the same start;
// - motor_torques (with gravity_wrench) and inverse_dynamics against one
//   tracking solve_forward_kinematics call at the same ticks;
//
// then what the solver reaches: iterations and errors along the trajectory and
// from home, and the statuses from far starts; the time find_assemblies takes
// per angle set; the per-call latency of the solvers over many single calls,
// where a control loop cares about the worst case rather than the mean; and last
// one realistic control tick on inputs larger than the caches, with its
// percentiles.
#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <tavrino/kinematics/kinematics.hpp>

#include "kinematics/detail/linear_algebra.hpp"

namespace {

using namespace tavrino;

constexpr int kInputs = 64;        // inputs cycled through, so nothing is hoisted out of the loop
// Many short batches, interleaved: on a shared machine a batch that was
// preempted is an outlier to drop, not a figure to average in. The low decile of
// the batches is what the ratios compare; the median is shown beside it.
constexpr int kRepetitions = 400;
constexpr double kBatchSeconds = 50e-6;
constexpr int kLatencyCalls = 100000;

// Keeps a value alive without letting the compiler see through it.
template <class T>
void keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

// A fixed pseudo-random sequence (SplitMix64): the inputs are the same on every run.
class Random {
 public:
  double symmetric(double scale) {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) * 0x1.0p-53 * 2.0 - 1.0) * scale;
  }

 private:
  std::uint64_t state_ = 1;
};

Pose random_pose(Random& random, double max_shift, double max_angle) {
  const Vector3 axis = Vector3(random.symmetric(1.0), random.symmetric(1.0), random.symmetric(1.0)).normalized();
  const Vector3 shift(random.symmetric(max_shift), random.symmetric(max_shift), random.symmetric(max_shift));
  return make_pose(axis_angle_rotation(axis, random.symmetric(max_angle)), shift);
}

// What one inverse kinematics call hands to the maths library for one branch.
struct LibmArguments {
  double discriminant, solution, twice_a_py, denominator;
};

struct Inputs {
  std::vector<Pose> targets, starts;
  std::vector<JointAngles> angles;
  std::vector<Matrix6> jacobians;
  std::vector<Vector6> residuals;
  std::vector<std::array<LibmArguments, 6>> libm;
};

std::array<LibmArguments, 6> libm_arguments(const Kinematics& torso, const Pose& target) {
  const double a = torso.motor_arm_length(), r = torso.rod_length();
  std::array<LibmArguments, 6> out;
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = torso.branches()[i];
    const Vector3 p = transform_point(multiply(*try_inverse(branch.t_world_motor), target), branch.branch_platform);
    const double e = p.squaredNorm() + a * a - r * r;
    out[i] = {4 * a * a * (p.x() * p.x() + p.y() * p.y()) - e * e, branch.solution, 2 * a * p.y(), 2 * a * p.x() + e};
  }
  return out;
}

// The Jacobian and residuals that the first step from `start` works with.
void step_problem(const Kinematics& torso, const Pose& start, const JointAngles& angles, Matrix6& jacobian,
                  Vector6& residuals) {
  const ArmTips tips = arm_tips(torso.motor_arm_length(), angles);
  const Pose inverse = *try_inverse(start);
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = torso.branches()[i];
    const Vector3 tip = transform_point(multiply(inverse, branch.t_world_motor), tips[i]);
    const Vector3 e = branch.branch_platform - tip;
    jacobian.row(i) << e.transpose(), branch.branch_platform.cross(e).transpose();
    residuals(i) = torso.rod_length() - (tip - branch.branch_platform).norm();
  }
}

// Targets within 1 cm and 15 degrees of home; forward kinematics starts from
// the target moved by up to 3 mm and 3 degrees, so every step is a real one.
Inputs make_inputs(const Kinematics& torso) {
  Random random;
  Inputs in;
  for (int k = 0; k < kInputs; ++k) {
    const Pose target = random_pose(random, 0.006, 0.26);
    const std::vector<double> q = inverse_kinematics(torso, target, std::nullopt);
    JointAngles angles;
    std::copy(q.begin(), q.end(), angles.begin());
    in.targets.push_back(target);
    in.starts.push_back(multiply(target, random_pose(random, 0.003, 0.05)));
    in.angles.push_back(angles);
    in.libm.push_back(libm_arguments(torso, target));
    Matrix6 jacobian;
    Vector6 residuals;
    step_problem(torso, in.starts.back(), angles, jacobian, residuals);
    in.jacobians.push_back(jacobian);
    in.residuals.push_back(residuals);
  }
  return in;
}

struct Workload {
  std::string name;
  std::string baseline;  // the workload it is compared with; empty for a baseline
  std::function<void(int)> call;  // one call on input i
  long calls_per_batch = 0;
  std::vector<double> ns_per_call = {};
};

double seconds_for(const Workload& w, long calls) {
  const auto start = std::chrono::steady_clock::now();
  for (long k = 0; k < calls; ++k) w.call(static_cast<int>(k % kInputs));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Grows the batch until it lasts about kBatchSeconds.
void calibrate(Workload& w) {
  long calls = 1;
  while (seconds_for(w, calls * 8) < kBatchSeconds) calls *= 2;
  w.calls_per_batch = calls * 8;
}

double quantile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * (values.size() - 1))];
}

double median(const std::vector<double>& values) { return quantile(values, 0.5); }
double low_decile(const std::vector<double>& values) { return quantile(values, 0.1); }

const Workload& named(const std::vector<Workload>& workloads, const std::string& name) {
  return *std::find_if(workloads.begin(), workloads.end(), [&](const Workload& w) { return w.name == name; });
}

void print_throughput(const std::vector<Workload>& workloads) {
  std::printf("%-44s %10s %10s %8s  %s\n", "workload (ns per call)", "low decile", "median", "ratio",
              "relative to");
  for (const Workload& w : workloads) {
    const double ns = low_decile(w.ns_per_call);
    if (w.baseline.empty()) {
      std::printf("%-44s %10.1f %10.1f %8s  %s\n", w.name.c_str(), ns, median(w.ns_per_call), "1.00", "(baseline)");
    } else {
      std::printf("%-44s %10.1f %10.1f %8.2f  %s\n", w.name.c_str(), ns, median(w.ns_per_call),
                  ns / low_decile(named(workloads, w.baseline).ns_per_call), w.baseline.c_str());
    }
  }
}

// Every call timed on its own; the cost of reading the clock, measured the same
// way around an empty call, is taken out.
std::vector<double> single_call_ns(const std::function<void(int)>& call) {
  std::vector<double> ns(kLatencyCalls);
  for (int k = 0; k < kLatencyCalls; ++k) {
    const auto start = std::chrono::steady_clock::now();
    call(k % kInputs);
    ns[k] = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  }
  return ns;
}

void print_latency(const char* name, std::vector<double> ns, double clock_ns) {
  std::sort(ns.begin(), ns.end());
  const auto at = [&](double fraction) { return ns[static_cast<std::size_t>(fraction * (ns.size() - 1))] - clock_ns; };
  std::printf("%-44s %10.0f %10.0f %10.0f\n", name, at(0.5), at(0.99), ns.back() - clock_ns);
}

// The demo trajectory: three seconds at 200 Hz, every coordinate a raised
// cosine or a full sine period, rotation Rz(yaw) Ry(pitch) Rx(roll).
std::vector<Pose> demo_trajectory() {
  constexpr double kPi = 3.141592653589793, kDegree = kPi / 180.0;
  std::vector<Pose> poses;
  for (int tick = 0; tick <= 600; ++tick) {
    const double phase = 2.0 * kPi * (tick / 200.0) / 3.0;
    const double rise = 0.5 * (1.0 - std::cos(phase));
    const Rotation r = axis_angle_rotation(Vector3(0, 0, 1), 12.0 * kDegree * std::sin(phase)) *
                       axis_angle_rotation(Vector3(0, 1, 0), -10.0 * kDegree * rise) *
                       axis_angle_rotation(Vector3(1, 0, 0), 8.0 * kDegree * std::sin(2.0 * phase));
    poses.push_back(make_pose(r, Vector3(0.010 * std::sin(phase), 0.006 * std::sin(2.0 * phase), 0.008 * rise)));
  }
  return poses;
}

JointAngles angles_of(const Kinematics& torso, const Pose& pose, std::optional<double> body_yaw) {
  const std::vector<double> q = inverse_kinematics(torso, pose, body_yaw);
  JointAngles angles;
  std::copy(q.begin(), q.end(), angles.begin());
  return angles;
}

double position_error(const Pose& a, const Pose& b) { return (a.block<3, 1>(0, 3) - b.block<3, 1>(0, 3)).norm(); }

// The demo trajectory tracked one call per tick from the previous solution:
// the inputs of the timed workloads, and the worst iterations and errors.
struct Tracking {
  std::vector<JointAngles> angles;
  std::vector<Pose> starts;
  int worst_iterations = 0;
  double worst_position_error = 0.0;
  double worst_relative_rod_error = 0.0;
  bool all_converged = true;
};

Tracking track(const Kinematics& torso, std::optional<double> body_yaw) {
  Tracking out;
  const std::vector<Pose> poses = demo_trajectory();
  Pose previous = poses.front();
  for (const Pose& pose : poses) {
    const JointAngles angles = angles_of(torso, pose, body_yaw);
    const ForwardKinematicsSolution s = solve_forward_kinematics(torso, angles, previous, body_yaw);
    out.angles.push_back(angles);
    out.starts.push_back(previous);
    out.worst_iterations = std::max(out.worst_iterations, s.iterations);
    out.worst_position_error = std::max(out.worst_position_error, position_error(s.t_world_platform, pose));
    out.worst_relative_rod_error = std::max(out.worst_relative_rod_error, s.rod_error / torso.rod_length());
    out.all_converged = out.all_converged && s.status == ForwardKinematicsStatus::converged;
    previous = s.t_world_platform;
  }
  return out;
}

// Tick by tick, the solve against a forward kinematics step from the same
// start: each timed over a few calls, many times, interleaved, and the fastest
// time of each kept. The mean over a trajectory hides the expensive ticks; the
// worst tick is what a control loop has to budget for.
void print_worst_ticks(const Kinematics& torso, ForwardKinematicsEstimate& fk_estimate, const Tracking& tracking,
                       std::optional<double> body_yaw, const char* label) {
  constexpr int kCalls = 16, kRounds = 40;
  std::vector<double> ratios;
  double worst = 0.0;
  std::size_t worst_tick = 0;
  for (std::size_t tick = 0; tick < tracking.angles.size(); ++tick) {
    // Where the start already satisfies the step's threshold, the step does
    // nothing and is no baseline.
    reset_forward_kinematics(fk_estimate, tracking.starts[tick]);
    forward_kinematics(torso, fk_estimate, tracking.angles[tick], std::nullopt);
    if (fk_estimate.t_world_platform == tracking.starts[tick]) continue;
    double step_ns = 1e30, solve_ns = 1e30;
    for (int round = 0; round < kRounds; ++round) {
      auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < kCalls; ++k) {
        reset_forward_kinematics(fk_estimate, tracking.starts[tick]);
        keep(forward_kinematics(torso, fk_estimate, tracking.angles[tick], std::nullopt));
      }
      auto middle = std::chrono::steady_clock::now();
      for (int k = 0; k < kCalls; ++k) {
        keep(solve_forward_kinematics(torso, tracking.angles[tick], tracking.starts[tick], body_yaw));
      }
      auto end = std::chrono::steady_clock::now();
      step_ns = std::min(step_ns, std::chrono::duration<double, std::nano>(middle - start).count() / kCalls);
      solve_ns = std::min(solve_ns, std::chrono::duration<double, std::nano>(end - middle).count() / kCalls);
    }
    ratios.push_back(solve_ns / step_ns);
    if (ratios.back() > worst) {
      worst = ratios.back();
      worst_tick = tick;
    }
  }
  const ForwardKinematicsSolution s =
      solve_forward_kinematics(torso, tracking.angles[worst_tick], tracking.starts[worst_tick], body_yaw);
  std::printf("solve / step from the same start, tick by tick%s (%zu ticks where the step moves):\n"
              "  median %.2f, worst %.2f (tick %zu, %d iterations)\n",
              label, ratios.size(), median(ratios), worst, worst_tick, s.iterations);
}

// Solves from home to poses within 1 cm and 15 degrees of it, and from starts
// far from the answer, and prints the iterations and the statuses.
void print_solver_reach(const Kinematics& torso) {
  Random random;
  constexpr int kPoses = 20000;
  int worst_home = 0;
  double worst_home_error = 0.0;
  int home_not_converged = 0;
  constexpr int kStatuses = 6;
  int shifted[kStatuses] = {}, turned[kStatuses] = {};
  int worst_far = 0;
  int far_converged_failing_ik = 0;
  for (int k = 0; k < kPoses; ++k) {
    const std::optional<double> body_yaw = k % 2 ? std::optional<double>(random.symmetric(0.5)) : std::nullopt;
    const Pose target = random_pose(random, 0.01 / std::sqrt(3.0), 15.0 * 3.141592653589793 / 180.0);
    const JointAngles angles = angles_of(torso, target, body_yaw);
    const ForwardKinematicsSolution home = solve_forward_kinematics(torso, angles, Pose::Identity(), body_yaw);
    home_not_converged += home.status != ForwardKinematicsStatus::converged;
    worst_home = std::max(worst_home, home.iterations);
    worst_home_error = std::max(worst_home_error, position_error(home.t_world_platform, target));
    // 2 cm and 30 degrees away, and turned half a turn about a random axis.
    const Pose near = multiply(target, random_pose(random, 0.02 / std::sqrt(3.0), 30.0 * 3.141592653589793 / 180.0));
    const Vector3 axis = Vector3(random.symmetric(1.0), random.symmetric(1.0), random.symmetric(1.0)).normalized();
    const Pose half_turn = multiply(target, make_pose(axis_angle_rotation(axis, 3.141592653589793), Vector3::Zero()));
    for (const auto& [start, counts] : {std::pair<const Pose&, int*>{near, shifted}, {half_turn, turned}}) {
      const ForwardKinematicsSolution s = solve_forward_kinematics(torso, angles, start, body_yaw);
      ++counts[static_cast<int>(s.status)];
      if (s.status != ForwardKinematicsStatus::converged) continue;
      worst_far = std::max(worst_far, s.iterations);
      const JointAngles back = angles_of(torso, s.t_world_platform, body_yaw);
      for (int i = 0; i < 6; ++i) far_converged_failing_ik += std::abs(wrap_angle(back[i] - angles[i])) > 1e-9;
    }
  }
  std::printf("\nsolve_forward_kinematics from home to %d poses within 1 cm and 15 deg (half with a body yaw):\n",
              kPoses);
  std::printf("  worst iterations %d, worst position error %.2e m, not converged %d\n", worst_home, worst_home_error,
              home_not_converged);
  std::printf("statuses from far starts (same poses):\n  %-34s", "");
  for (int k = 0; k < kStatuses; ++k) std::printf(" %18s", to_string(static_cast<ForwardKinematicsStatus>(k)));
  std::printf("\n  %-34s", "up to 2 cm and 30 deg away");
  for (int k = 0; k < kStatuses; ++k) std::printf(" %18d", shifted[k]);
  std::printf("\n  %-34s", "turned 180 deg about a random axis");
  for (int k = 0; k < kStatuses; ++k) std::printf(" %18d", turned[k]);
  std::printf("\n  worst iterations of a converged far start %d; converged ones failing the IK check: %d\n", worst_far,
              far_converged_failing_ik);
}

}  // namespace

double thread_cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// find_assemblies for angle sets near home: its time per angle set, as a ratio
// to one solve from a tracking start (baseline_ns) and in milliseconds for
// orientation, beside the processor time of this thread (which a loaded
// machine's preemptions do not inflate), and how many assemblies it lists.
void print_assemblies(const Kinematics& torso, double baseline_ns) {
  Random random;
  std::vector<double> ms, cpu_ms;
  std::size_t fewest = kMaxAssemblies, most = 0;
  for (int k = 0; k < 40; ++k) {
    const JointAngles angles = angles_of(torso, random_pose(random, 0.01, 0.26), k % 2 ? std::optional<double>(0.2) : std::nullopt);
    std::array<Pose, kMaxAssemblies> found;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_ms();
    const std::size_t n = find_assemblies(torso, angles, k % 2 ? std::optional<double>(0.2) : std::nullopt,
                                          Pose::Identity(), found);
    cpu_ms.push_back(thread_cpu_ms() - cpu_start);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    fewest = std::min(fewest, n);
    most = std::max(most, n);
  }
  std::printf("\nfind_assemblies, 40 angle sets near home: median %.2f ms, worst %.2f ms per angle set "
              "(%.0f and %.0f times one solve from a tracking start); processor time median %.2f ms, worst "
              "%.2f ms; %zu to %zu assemblies listed\n",
              median(ms), quantile(ms, 1.0), median(ms) * 1e6 / baseline_ns, quantile(ms, 1.0) * 1e6 / baseline_ns,
              median(cpu_ms), quantile(cpu_ms, 1.0), fewest, most);
}

// One control tick as a controller runs it: inverse kinematics of the planned
// pose (the command), forward kinematics solved from the last estimate for the
// measured angles, then the Jacobians and the conditioning at the new estimate.
// Its inputs are drawn in a fixed random order from 2^18 ticks' worth (about
// 80 MB, more than the caches hold), so that each tick fetches them from memory
// as a loop whose data other work has evicted does ("cold"); interleaved with
// it, the same tick on 64 inputs that stay in cache ("hot"). Every tick is
// timed on its own; the percentiles are shown against the hot tick's median.
void print_control_tick(const Kinematics& torso, double clock_ns) {
  constexpr std::size_t kTickInputs = std::size_t{1} << 18;
  struct TickInputs {
    Pose plan;           // where the platform is to go
    JointAngles measured;  // the encoders: the platform a little off the plan
    Pose last;           // the last tick's estimate, a little off again
  };
  Random random;
  std::vector<TickInputs> inputs(kTickInputs);
  for (TickInputs& in : inputs) {
    in.plan = random_pose(random, 0.01, 0.26);
    const Pose actual = multiply(in.plan, random_pose(random, 0.0005, 0.01));
    in.measured = angles_of(torso, actual, std::nullopt);
    in.last = multiply(actual, random_pose(random, 0.0005, 0.01));
  }
  std::vector<std::size_t> order(kLatencyCalls);
  for (std::size_t& k : order) {
    k = std::min(static_cast<std::size_t>((random.symmetric(0.5) + 0.5) * kTickInputs), kTickInputs - 1);
  }
  JointAngles command;
  const auto tick = [&](const TickInputs& in) {
    inverse_kinematics_into(torso, in.plan, std::nullopt, command);
    const ForwardKinematicsSolution fk = solve_forward_kinematics(torso, in.measured, in.last, std::nullopt);
    keep(velocity_jacobians(torso, fk.t_world_platform, in.measured, std::nullopt));
    keep(conditioning(torso, fk.t_world_platform, in.measured, std::nullopt));
    keep(command);
  };
  std::vector<double> cold(kLatencyCalls), hot(kLatencyCalls);
  for (int k = 0; k < kLatencyCalls; ++k) {
    auto start = std::chrono::steady_clock::now();
    tick(inputs[order[static_cast<std::size_t>(k)]]);
    auto middle = std::chrono::steady_clock::now();
    tick(inputs[static_cast<std::size_t>(k % kInputs)]);
    auto end = std::chrono::steady_clock::now();
    cold[static_cast<std::size_t>(k)] = std::chrono::duration<double, std::nano>(middle - start).count() - clock_ns;
    hot[static_cast<std::size_t>(k)] = std::chrono::duration<double, std::nano>(end - middle).count() - clock_ns;
  }
  const double hot_median = median(hot);
  std::printf("\none control tick: inverse kinematics, solve from the last estimate, velocity_jacobians, conditioning\n"
              "%-44s %10s %10s %10s %10s %10s\n", "(ns; in brackets / hot p50)", "p50", "p90", "p99", "p99.9", "max");
  for (const auto& [name, ns] : {std::pair<const char*, const std::vector<double>&>{"cold: inputs from 80 MB", cold},
                                 {"hot: 64 inputs in cache", hot}}) {
    std::printf("%-44s", name);
    for (double fraction : {0.5, 0.9, 0.99, 0.999, 1.0}) std::printf(" %10.0f", quantile(ns, fraction));
    std::printf("\n%-44s", "");
    for (double fraction : {0.5, 0.9, 0.99, 0.999, 1.0}) {
      char ratio[32];
      std::snprintf(ratio, sizeof ratio, "(%.2f)", quantile(ns, fraction) / hot_median);
      std::printf(" %10s", ratio);
    }
    std::printf("\n");
  }
}

int main() {
  const Kinematics ik_torso = ExampleTorso::make();
  ForwardKinematicsEstimate fk_estimate;
  const Inputs in = make_inputs(ik_torso);
  std::array<double, 6> angles{};

  const std::string libm = "libm floor: 6 x (atan2, sqrt, floor)";
  const std::string svd = "Eigen JacobiSVD 6x6, full U and V";
  std::vector<Workload> workloads;
  workloads.push_back({libm, "", [&](int i) {
    std::array<double, 6> out;
    for (int k = 0; k < 6; ++k) {
      const LibmArguments& x = in.libm[i][k];
      const double t = 2.0 * std::atan2(std::sqrt(x.discriminant) * x.solution + x.twice_a_py, x.denominator);
      out[k] = std::floor((t + 3.141592653589793) * 0.15915494309189535) * -6.283185307179586 + t;
    }
    keep(out);
  }});
  workloads.push_back({"inverse kinematics, 6 branches", libm, [&](int i) {
    inverse_kinematics_into(ik_torso, in.targets[i], std::nullopt, angles);
    keep(angles);
  }});
  workloads.push_back({"inverse kinematics, 6 branches, body yaw", libm, [&](int i) {
    inverse_kinematics_into(ik_torso, in.targets[i], 0.1, angles);
    keep(angles);
  }});
  workloads.push_back({svd, "", [&](int i) {
    const Eigen::JacobiSVD<Matrix6> decomposition(in.jacobians[i], Eigen::ComputeFullU | Eigen::ComputeFullV);
    keep(decomposition.singularValues());
    keep(decomposition.matrixU());
    keep(decomposition.matrixV());
  }});
  workloads.push_back({"forward kinematics step", svd, [&](int i) {
    reset_forward_kinematics(fk_estimate, in.starts[i]);  // a fresh, perturbed estimate, so it really steps
    keep(forward_kinematics(ik_torso, fk_estimate, in.angles[i], std::nullopt));
  }});
  workloads.push_back({"  of which the step J+ r (certified solve)", svd, [&](int i) {
    keep(detail::pseudo_inverse_step(in.jacobians[i], in.residuals[i]));
  }});
  workloads.push_back({"  the step J+ r by one-sided Jacobi SVD", svd, [&](int i) {
    keep(detail::pseudo_inverse_step_by_svd(in.jacobians[i], in.residuals[i]));
  }});

  // Tracking: tick k of the trajectory, from the solution of tick k - 1. The
  // step baseline starts where the solver starts.
  const Tracking tracking = track(ik_torso, std::nullopt);
  const Tracking tracking_yawed = track(ik_torso, 0.2);
  const int ticks = static_cast<int>(tracking.angles.size());
  const std::string step = "forward kinematics step, tracking starts";
  int tick = 0;
  workloads.push_back({step, "", [&](int) {
    reset_forward_kinematics(fk_estimate, tracking.starts[tick]);
    keep(forward_kinematics(ik_torso, fk_estimate, tracking.angles[tick], std::nullopt));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  workloads.push_back({"solve_forward_kinematics, tracking", step, [&](int) {
    keep(solve_forward_kinematics(ik_torso, tracking.angles[tick], tracking.starts[tick], std::nullopt));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  workloads.push_back({"solve_forward_kinematics, tracking, body yaw", step, [&](int) {
    keep(solve_forward_kinematics(ik_torso, tracking_yawed.angles[tick], tracking_yawed.starts[tick], 0.2));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  workloads.push_back({"velocity_jacobians", step, [&](int) {
    keep(velocity_jacobians(ik_torso, tracking.starts[tick], tracking.angles[tick], std::nullopt));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  workloads.push_back({"conditioning", step, [&](int) {
    keep(conditioning(ik_torso, tracking.starts[tick], tracking.angles[tick], std::nullopt));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  // The dynamics at the same ticks, against the tracking solve: what a control
  // loop adds for its torque feed-forward.
  const std::string solve = "solve_forward_kinematics, tracking";
  Inertia payload;
  payload.mass = 1.8;
  payload.centre_of_mass = Vector3(0.004, -0.003, 0.035);
  payload.inertia << 0.0042, 0.0001, 0.0, 0.0001, 0.0047, 0.0, 0.0, 0.0, 0.0061;
  payload.arm_inertia = 3.5e-5;
  const Vector3 gravity(0.0, 0.0, -9.81);
  Vector6 twist, twist_rate;
  twist << 0.01, -0.02, 0.005, 0.3, -0.2, 0.1;
  twist_rate << 0.5, 0.2, -0.3, 2.0, 1.0, -1.5;
  workloads.push_back({"motor_torques (gravity feed-forward)", solve, [&](int) {
    const Pose& pose = tracking.starts[tick];
    keep(motor_torques(ik_torso, pose, tracking.angles[tick], std::nullopt, gravity_wrench(payload, pose, gravity)));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});
  workloads.push_back({"inverse_dynamics", solve, [&](int) {
    keep(inverse_dynamics(ik_torso, payload, tracking.starts[tick], tracking.angles[tick], std::nullopt, twist,
                          twist_rate, gravity));
    tick = tick + 1 == ticks ? 0 : tick + 1;
  }});


  for (Workload& w : workloads) calibrate(w);
  // Interleaved, so that every workload sees the same share of machine noise.
  for (int rep = 0; rep < kRepetitions; ++rep) {
    for (Workload& w : workloads) w.ns_per_call.push_back(seconds_for(w, w.calls_per_batch) * 1e9 / w.calls_per_batch);
  }
  print_throughput(workloads);
  print_worst_ticks(ik_torso, fk_estimate, tracking, std::nullopt, "");
  print_worst_ticks(ik_torso, fk_estimate, tracking_yawed, 0.2, ", body yaw");
  for (const auto& [name, t] : {std::pair<const char*, const Tracking&>{"", tracking}, {", body yaw 0.2", tracking_yawed}}) {
    std::printf("\ntracking the demo trajectory%s (%d ticks at 200 Hz, from the previous solution):\n", name, ticks);
    std::printf("  worst iterations per tick %d, worst position error %.2e m, worst relative rod error %.2e, %s\n",
                t.worst_iterations, t.worst_position_error, t.worst_relative_rod_error,
                t.all_converged ? "every tick converged" : "SOME TICKS DID NOT CONVERGE");
  }
  print_solver_reach(ik_torso);

  const double clock_ns = median(single_call_ns([](int) {}));
  std::printf("\n%-44s %10s %10s %10s   (%d calls each, clock read of %.0f ns taken out)\n", "latency of one call",
              "p50 ns", "p99 ns", "max ns", kLatencyCalls, clock_ns);
  print_latency("inverse kinematics, 6 branches", single_call_ns(named(workloads, "inverse kinematics, 6 branches").call),
                clock_ns);
  print_latency("forward kinematics step", single_call_ns(named(workloads, "forward kinematics step").call), clock_ns);
  print_latency("solve_forward_kinematics, tracking",
                single_call_ns(named(workloads, "solve_forward_kinematics, tracking").call), clock_ns);
  print_assemblies(ik_torso, median(named(workloads, "solve_forward_kinematics, tracking").ns_per_call));
  print_control_tick(ik_torso, clock_ns);
  return 0;
}
