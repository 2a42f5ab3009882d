// Reads each torso file named on the command line and prints one line for it:
// "ok" and the numbers it describes (the two lengths, the home pose row by row,
// then for each branch its anchor, its motor pose row by row and its solution;
// the payload's mass, centre of mass and inertia row by row, the motors' arm
// inertia and three limits, and gravity), each to 17 significant digits, which
// read back as the same double, and "none" for what the file leaves out; or
// "error" and the message. torso_file_agreement.py compares the lines with what
// the Python package reads from the same files.
#include <tavrino/torso_file.hpp>

#include <cstdio>

namespace {

template <class Matrix>
void print_rows(const Matrix& matrix) {
  for (int r = 0; r < matrix.rows(); ++r) {
    for (int c = 0; c < matrix.cols(); ++c) std::printf(" %.17g", matrix(r, c));
  }
}

void print_optional(const std::optional<double>& value) {
  if (value) {
    std::printf(" %.17g", *value);
  } else {
    std::printf(" none");
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    try {
      const tavrino::TorsoFile torso = tavrino::read_torso(argv[i]);
      std::printf("ok %.17g %.17g", torso.model.motor_arm_length(), torso.model.rod_length());
      print_rows(torso.home);
      for (const tavrino::Branch& branch : torso.model.branches()) {
        for (int k = 0; k < 3; ++k) std::printf(" %.17g", branch.branch_platform(k));
        print_rows(branch.t_world_motor);
        std::printf(" %.17g", branch.solution);
      }
      if (const auto& payload = torso.payload) {
        std::printf(" %.17g", payload->mass);
        print_rows(payload->centre_of_mass.transpose());
        print_rows(payload->inertia);
      } else {
        std::printf(" none");
      }
      if (const auto& motors = torso.motors) {
        std::printf(" %.17g", motors->arm_inertia);
        for (const auto& limit : {motors->speed_limit, motors->acceleration_limit, motors->torque_limit}) {
          print_optional(limit);
        }
      } else {
        std::printf(" none");
      }
      print_rows(torso.gravity.transpose());
      std::printf("\n");
    } catch (const tavrino::DescriptionError& error) {
      std::printf("error %s\n", error.what());
    }
  }
  return 0;
}
