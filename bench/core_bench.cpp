// Times inverse kinematics of the six-branch example torso and one forward
// kinematics step, each against a baseline timed in the same process (one Eigen
// 4x4 inverse, one full 6x6 JacobiSVD), so that the ratios stay meaningful on a
// loaded or throttled machine even when the absolute figures drift.
#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kinematics/kinematics.hpp"

namespace {

using namespace tavrino;

constexpr int kInputs = 64;        // inputs cycled through, so nothing is hoisted out of the loop
constexpr int kRepetitions = 15;   // timed batches per workload; the median is reported
constexpr double kBatchSeconds = 0.02;

// Keeps a value alive without letting the compiler see through it.
template <class T>
void keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

struct Workload {
  std::string name;
  std::string baseline;  // name of the workload it is compared with, empty for a baseline
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
  long calls = 64;
  while (seconds_for(w, calls) < kBatchSeconds / 4) calls *= 2;
  w.calls_per_batch = calls * 4;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Pose random_pose(std::mt19937_64& rng, double max_shift, double max_angle) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const Vector3 axis = Vector3(unit(rng), unit(rng), unit(rng)).normalized();
  const Vector3 shift(unit(rng), unit(rng), unit(rng));
  return make_pose(Eigen::AngleAxisd(max_angle * unit(rng), axis).toRotationMatrix(), max_shift * shift);
}

struct Inputs {
  std::vector<Pose> targets, starts;
  std::vector<JointAngles> angles;
  std::vector<Matrix6> jacobians;
};

Inputs make_inputs(const Kinematics& torso) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  Inputs in;
  for (int i = 0; i < kInputs; ++i) {
    const Pose target = random_pose(rng, 0.01, 0.25);
    const std::vector<double> q = inverse_kinematics(torso, target, std::nullopt);
    JointAngles angles;
    std::copy(q.begin(), q.end(), angles.begin());
    in.targets.push_back(target);
    in.starts.push_back(target * random_pose(rng, 0.003, 0.05));
    in.angles.push_back(angles);
    in.jacobians.push_back(Matrix6::NullaryExpr([&] { return entry(rng); }));
  }
  return in;
}

}  // namespace

int main() {
  Kinematics ik_torso = ExampleTorso::make();
  Kinematics fk_torso = ExampleTorso::make();
  const Inputs in = make_inputs(ik_torso);
  std::vector<double> angles(6);

  std::vector<Workload> workloads;
  workloads.emplace_back("Eigen 4x4 inverse", "", [&](int i) { keep(Pose(in.targets[i].inverse())); });
  workloads.emplace_back("Eigen 6x6 JacobiSVD (U, V)", "", [&](int i) {
    const Eigen::JacobiSVD<Matrix6> svd(in.jacobians[i], Eigen::ComputeFullU | Eigen::ComputeFullV);
    keep(svd.singularValues());
  });
  workloads.emplace_back("inverse kinematics, 6 branches", "Eigen 4x4 inverse", [&](int i) {
    inverse_kinematics_into(ik_torso, in.targets[i], std::nullopt, angles);
    keep(angles[0]);
  });
  workloads.emplace_back("inverse kinematics, body yaw", "Eigen 4x4 inverse", [&](int i) {
    inverse_kinematics_into(ik_torso, in.targets[i], 0.1, angles);
    keep(angles[0]);
  });
  workloads.emplace_back("forward kinematics step", "Eigen 6x6 JacobiSVD (U, V)", [&](int i) {
    reset_forward_kinematics(fk_torso, in.starts[i]);  // a fresh perturbed estimate, so it really steps
    keep(forward_kinematics(fk_torso, in.angles[i], std::nullopt));
  });

  for (Workload& w : workloads) calibrate(w);
  // Interleaved, so that every workload sees the same share of machine noise.
  for (int rep = 0; rep < kRepetitions; ++rep) {
    for (Workload& w : workloads) w.ns_per_call.push_back(seconds_for(w, w.calls_per_batch) * 1e9 / w.calls_per_batch);
  }

  std::printf("%-32s %12s %12s %10s  %s\n", "workload", "median ns", "min ns", "ratio", "relative to");
  for (const Workload& w : workloads) {
    const double ns = median(w.ns_per_call);
    const double best = *std::min_element(w.ns_per_call.begin(), w.ns_per_call.end());
    if (w.baseline.empty()) {
      std::printf("%-32s %12.1f %12.1f %10s  %s\n", w.name.c_str(), ns, best, "1.00", "(baseline)");
      continue;
    }
    const auto base = std::find_if(workloads.begin(), workloads.end(), [&](const Workload& b) { return b.name == w.baseline; });
    std::printf("%-32s %12.1f %12.1f %10.2f  %s\n", w.name.c_str(), ns, best, ns / median(base->ns_per_call),
                w.baseline.c_str());
  }
  return 0;
}
