#include "platform/gst/webrtc_values.h"

#include <optional>
#include <string>

namespace kx::gst {

IceConnectionState combinedIceState(GstWebRTCICEConnectionState ice, GstWebRTCPeerConnectionState connection) {
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED || connection == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
    return IceConnectionState::kClosed;
  }
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED || connection == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED) {
    return IceConnectionState::kFailed;
  }
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED ||
      connection == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED) {
    return IceConnectionState::kDisconnected;
  }
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) return IceConnectionState::kCompleted;
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED || connection == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
    return IceConnectionState::kConnected;
  }
  if (ice == GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING || connection == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING) {
    return IceConnectionState::kChecking;
  }
  return IceConnectionState::kNew;
}

namespace {

using Value = StatsEntry::mapped_type;

std::optional<Value> toValue(const GValue* value) {
  const GType type = G_VALUE_TYPE(value);
  if (type == G_TYPE_STRING) {
    const gchar* s = g_value_get_string(value);
    return Value(std::string(s ? s : ""));
  }
  if (type == G_TYPE_BOOLEAN) return Value(bool(g_value_get_boolean(value)));
  if (type == G_TYPE_INT) return Value(int64_t(g_value_get_int(value)));
  if (type == G_TYPE_UINT) return Value(int64_t(g_value_get_uint(value)));
  if (type == G_TYPE_INT64) return Value(int64_t(g_value_get_int64(value)));
  if (type == G_TYPE_UINT64) return Value(int64_t(g_value_get_uint64(value)));
  if (type == G_TYPE_LONG) return Value(int64_t(g_value_get_long(value)));
  if (type == G_TYPE_ULONG) return Value(int64_t(g_value_get_ulong(value)));
  if (type == G_TYPE_DOUBLE) return Value(g_value_get_double(value));
  if (type == G_TYPE_FLOAT) return Value(double(g_value_get_float(value)));
  if (G_TYPE_IS_ENUM(type)) {
    GEnumClass* cls = G_ENUM_CLASS(g_type_class_ref(type));
    const GEnumValue* v = g_enum_get_value(cls, g_value_get_enum(value));
    std::string nick = v ? v->value_nick : std::to_string(g_value_get_enum(value));
    g_type_class_unref(cls);
    return Value(std::move(nick));
  }
  // Nested GStreamer-specific structures and lists are left out.
  return std::nullopt;
}

StatsEntry flattenOne(const gchar* id, const GstStructure* report) {
  StatsEntry entry;
  entry["id"] = std::string(id);
  const int n = gst_structure_n_fields(report);
  for (int i = 0; i < n; ++i) {
    const gchar* name = gst_structure_nth_field_name(report, i);
    if (auto v = toValue(gst_structure_get_value(report, name))) entry[name] = std::move(*v);
  }
  return entry;
}

const std::string* stringField(const StatsEntry& entry, const std::string& key) {
  auto it = entry.find(key);
  return it == entry.end() ? nullptr : std::get_if<std::string>(&it->second);
}

}  // namespace

std::vector<StatsEntry> flattenStats(const GstStructure* reply) {
  std::vector<StatsEntry> entries;
  if (!reply) return entries;
  const int n = gst_structure_n_fields(reply);
  for (int i = 0; i < n; ++i) {
    const gchar* name = gst_structure_nth_field_name(reply, i);
    const GValue* value = gst_structure_get_value(reply, name);
    if (!GST_VALUE_HOLDS_STRUCTURE(value)) continue;
    entries.push_back(flattenOne(name, gst_value_get_structure(value)));
  }
  // webrtcbin 1.22 leaves "kind" out of RTP reports; the codec they point to
  // names the media ("video/H264").
  for (StatsEntry& entry : entries) {
    const std::string* type = stringField(entry, "type");
    if (!type || type->find("rtp") == std::string::npos || entry.count("kind")) continue;
    const std::string* codecId = stringField(entry, "codec-id");
    if (!codecId) continue;
    for (const StatsEntry& other : entries) {
      const std::string* id = stringField(other, "id");
      const std::string* mime = stringField(other, "mime-type");
      if (id && mime && *id == *codecId) {
        entry["kind"] = mime->substr(0, mime->find('/'));
        break;
      }
    }
  }
  return entries;
}

}  // namespace kx::gst
