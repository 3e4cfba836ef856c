#include "platform/gst/offer_sdp.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

namespace kx::gst {
namespace {

struct Level {
  int idc;
  long maxFrameMacroblocks;
  long maxMacroblocksPerSecond;
};
// H.264 Table A-1, from level 3.1 up.
constexpr Level kLevels[] = {
    {31, 3600, 108000}, {32, 5120, 216000},  {40, 8192, 245760},   {42, 8704, 522240},
    {50, 22080, 589824}, {51, 36864, 983040}, {52, 36864, 2073600},
};

using Params = std::vector<std::pair<std::string, std::string>>;

Params parseFmtp(const std::string& text) {
  Params params;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    const size_t eq = item.find('=');
    if (!item.empty()) {
      params.emplace_back(item.substr(0, eq), eq == std::string::npos ? std::string() : item.substr(eq + 1));
    }
    start = end + 1;
  }
  return params;
}

void setParam(Params& params, const std::string& key, const std::string& value, bool keepExisting) {
  for (auto& [k, v] : params) {
    if (k != key) continue;
    if (!keepExisting || v.empty()) v = value;
    return;
  }
  params.emplace_back(key, value);
}

std::string joinFmtp(const std::string& payload, const Params& params) {
  std::string text = payload + " ";
  for (size_t i = 0; i < params.size(); ++i) {
    if (i) text += ";";
    text += params[i].first;
    if (!params[i].second.empty()) text += "=" + params[i].second;
  }
  return text;
}

// Index of the first attribute `key` whose value starts with `prefix`, or -1.
int findAttribute(const GstSDPMedia* media, const char* key, const std::string& prefix) {
  for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
    const GstSDPAttribute* a = gst_sdp_media_get_attribute(media, i);
    if (a->key && a->value && g_str_equal(a->key, key) && std::string(a->value).rfind(prefix, 0) == 0) return int(i);
  }
  return -1;
}

void replaceAttribute(GstSDPMedia* media, int index, const char* key, const std::string& value) {
  GstSDPAttribute attribute;
  gst_sdp_attribute_set(&attribute, key, value.c_str());
  gst_sdp_media_replace_attribute(media, guint(index), &attribute);
}

}  // namespace

std::string constrainedBaselineProfileLevel(int width, int height, int framesPerSecond) {
  const long macroblocks = long((width + 15) / 16) * long((height + 15) / 16);
  const long perSecond = macroblocks * std::max(1, framesPerSecond);
  int idc = kLevels[std::size(kLevels) - 1].idc;
  for (const Level& level : kLevels) {
    if (macroblocks <= level.maxFrameMacroblocks && perSecond <= level.maxMacroblocksPerSecond) {
      idc = level.idc;
      break;
    }
  }
  char text[8];
  std::snprintf(text, sizeof text, "42e0%02x", idc);
  return text;
}

void completeScreenOffer(GstSDPMessage* sdp, const ScreenTrack& track) {
  const std::string msid = track.streamId + " " + track.trackId;
  for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
    auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, m));
    if (!g_str_equal(gst_sdp_media_get_media(media), "video") || gst_sdp_media_get_port(media) == 0) continue;
    if (findAttribute(media, "recvonly", "") >= 0 || findAttribute(media, "inactive", "") >= 0) continue;

    // H.264 payload types of this m-line.
    std::vector<std::string> payloads;
    for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
      const GstSDPAttribute* a = gst_sdp_media_get_attribute(media, i);
      if (!a->key || !a->value || !g_str_equal(a->key, "rtpmap")) continue;
      const std::string value = a->value;
      const size_t space = value.find(' ');
      if (space != std::string::npos && g_ascii_strncasecmp(value.c_str() + space + 1, "H264/", 5) == 0) {
        payloads.push_back(value.substr(0, space));
      }
    }
    if (payloads.empty()) continue;

    for (const std::string& payload : payloads) {
      const int at = findAttribute(media, "fmtp", payload + " ");
      Params params = at >= 0 ? parseFmtp(gst_sdp_media_get_attribute(media, guint(at))->value + payload.size() + 1)
                              : Params{};
      setParam(params, "packetization-mode", "1", false);
      setParam(params, "profile-level-id",
               constrainedBaselineProfileLevel(track.width, track.height, track.framesPerSecond), true);
      setParam(params, "level-asymmetry-allowed", "1", false);
      if (at >= 0) {
        replaceAttribute(media, at, "fmtp", joinFmtp(payload, params));
      } else {
        gst_sdp_media_add_attribute(media, "fmtp", joinFmtp(payload, params).c_str());
      }
    }

    // "a=ssrc:<n> msid:<stream> <track>" names the same track as "a=msid".
    for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
      const GstSDPAttribute* a = gst_sdp_media_get_attribute(media, i);
      if (!a->key || !a->value || !g_str_equal(a->key, "ssrc")) continue;
      const std::string value = a->value;
      const size_t at = value.find(" msid:");
      if (at != std::string::npos) replaceAttribute(media, int(i), "ssrc", value.substr(0, at) + " msid:" + msid);
    }
    const int existing = findAttribute(media, "msid", "");
    if (existing >= 0) {
      replaceAttribute(media, existing, "msid", msid);
    } else {
      gst_sdp_media_add_attribute(media, "msid", msid.c_str());
    }
  }
}

}  // namespace kx::gst
