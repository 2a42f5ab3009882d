// Reads each torso file named on the command line and prints one line for it:
// "ok" and the numbers it describes (the two lengths, the home pose row by row,
// then for each branch its anchor, its motor pose row by row and its solution),
// each to 17 significant digits, which read back as the same double; or
// "error" and the message. torso_file_agreement.py compares the lines with what
// the Python package reads from the same files.
#include <tavrino/torso_file.hpp>

#include <cstdio>

namespace {

void print_pose(const tavrino::Pose& pose) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) std::printf(" %.17g", pose(r, c));
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    try {
      const tavrino::TorsoFile torso = tavrino::read_torso(argv[i]);
      std::printf("ok %.17g %.17g", torso.model.motor_arm_length(), torso.model.rod_length());
      print_pose(torso.home);
      for (const tavrino::Branch& branch : torso.model.branches()) {
        for (int k = 0; k < 3; ++k) std::printf(" %.17g", branch.branch_platform(k));
        print_pose(branch.t_world_motor);
        std::printf(" %.17g", branch.solution);
      }
      std::printf("\n");
    } catch (const tavrino::DescriptionError& error) {
      std::printf("error %s\n", error.what());
    }
  }
  return 0;
}
