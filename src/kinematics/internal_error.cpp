#include <tavrino/kinematics/internal_error.hpp>

#include <utility>

namespace tavrino {

InternalError::InternalError(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

}  // namespace tavrino
