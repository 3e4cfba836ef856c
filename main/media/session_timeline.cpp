#include "media/session_timeline.h"

#include <algorithm>

namespace kx {

void SessionTimeline::start(std::string_view step, double uptime) {
  steps_.clear();
  started_ = true;
  steps_.emplace_back(step, uptime);
}

void SessionTimeline::mark(std::string_view step, double uptime) {
  if (!started_ || has(step)) return;
  steps_.emplace_back(step, uptime);
}

bool SessionTimeline::has(std::string_view step) const {
  return std::any_of(steps_.begin(), steps_.end(), [&](const auto& s) { return s.first == step; });
}

Json SessionTimeline::toJson() const {
  Json list = Json::array();
  for (const auto& [step, uptime] : steps_) list.push_back(Json{{"step", step}, {"uptime", uptime}});
  return list;
}

}  // namespace kx
