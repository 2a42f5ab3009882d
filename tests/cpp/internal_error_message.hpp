#pragma once

// What a solver call reports as a broken precondition, as text to compare.

#include <string>

#include <tavrino/kinematics/internal_error.hpp>

namespace tavrino_test {

// The message of the InternalError that `call` raises, or "no error".
template <class Call>
std::string internal_error_of(Call&& call) {
  try {
    call();
  } catch (const tavrino::InternalError& error) {
    return error.message();
  }
  return "no error";
}

}  // namespace tavrino_test
