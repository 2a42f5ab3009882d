// Torso files from C++: the example file describes ExampleTorso to the last bit,
// and text in memory reads as the file does, its messages naming the name
// given. How every other file reads, and what every hostile one is refused
// with, is compared with the Python reader by torso_file_agreement.py.
#include <tavrino/kinematics/example_torso.hpp>
#include <tavrino/torso_file.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace tavrino;

template <class Matrix>
bool same_bits(const Matrix& a, const Matrix& b) {
  for (Eigen::Index i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a.data()[i]) != std::bit_cast<std::uint64_t>(b.data()[i])) return false;
  }
  return true;
}

bool same_model(const TorsoFile& file, const Kinematics& model) {
  const auto lengths = [](const Kinematics& m) { return Eigen::Vector2d(m.motor_arm_length(), m.rod_length()); };
  if (!same_bits(lengths(file.model), lengths(model))) return false;
  if (file.model.branches().size() != model.branches().size()) return false;
  for (std::size_t i = 0; i < model.branches().size(); ++i) {
    const Branch& a = file.model.branches()[i];
    const Branch& b = model.branches()[i];
    const Eigen::Matrix<double, 1, 1> solution_a(a.solution), solution_b(b.solution);
    if (!same_bits(a.t_world_motor, b.t_world_motor) || !same_bits(a.branch_platform, b.branch_platform) ||
        !same_bits(solution_a, solution_b)) {
      return false;
    }
  }
  return true;
}

std::string example_text() {
  std::ifstream file(TTK_EXAMPLE_TORSO_FILE);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(TorsoFile, TheExampleFileIsTheExampleTorso) {
  const TorsoFile file = read_torso(TTK_EXAMPLE_TORSO_FILE);
  EXPECT_TRUE(same_model(file, ExampleTorso::make()));
  EXPECT_TRUE(same_bits(file.home, Pose(Pose::Identity())));
  EXPECT_TRUE(same_model(parse_torso(example_text(), "example"), file.model));
}

TEST(TorsoFile, MessagesStartWithTheNameGiven) {
  std::string text = example_text();
  const std::string anchor = "anchor = [-0.025711504387461576, 0.030641777724759123, 0.085]";
  ASSERT_NE(text.find(anchor), std::string::npos);
  text.replace(text.find(anchor), anchor.size(), "anchor = [-0.025, 0.03]");
  try {
    parse_torso(text, "my_torso.toml");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "my_torso.toml: branch[3].anchor: must be a list of 3 numbers, got 2 items");
  }
}

}  // namespace
