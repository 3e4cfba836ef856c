#include "agent/user_text.h"

namespace kx {

std::string localizedDescription(const Error& error) {
  if (!error.description.empty()) return error.description;
  return "The operation couldn\u2019t be completed. (" + error.domain + " error " + std::to_string(error.code) + ".)";
}

std::string alreadyRunningDetail(const std::vector<std::string>& locations) {
  std::string detail(text::kAlreadyRunningDetail);
  for (size_t i = 0; i < locations.size(); ++i) {
    if (i > 0) detail += "\n";
    detail += locations[i].empty() ? std::string(text::kUnknownLocation) : locations[i];
  }
  return detail;
}

std::string registrationErrorText(const Error& error) {
  return error.domain + " (" + std::to_string(error.code) + "): " + localizedDescription(error);
}

}  // namespace kx
