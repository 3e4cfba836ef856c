#include "runtime/error.h"

namespace kx {

std::string Error::summary() const {
  return domain + " (" + std::to_string(code) + "): " + description;
}

}  // namespace kx
