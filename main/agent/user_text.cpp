#include "agent/user_text.h"

namespace kx {

std::string localizedDescription(const Error& error) {
  if (!error.description.empty()) return error.description;
  return "The operation couldn\u2019t be completed. (" + error.domain + " error " + std::to_string(error.code) + ".)";
}

std::string registrationErrorText(const Error& error) {
  return error.domain + " (" + std::to_string(error.code) + "): " + localizedDescription(error);
}

}  // namespace kx
