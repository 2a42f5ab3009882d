#include "kinematics/conditioning.hpp"

#include <limits>

namespace tavrino {

Conditioning conditioning(const Kinematics&, const Pose&, const JointAngles&, std::optional<double>) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return {{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}, kNaN};
}

}  // namespace tavrino
