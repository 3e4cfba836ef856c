// The one place GStreamer's C ownership rules are wrapped: reference-counted
// owners for objects and mini objects, GError conversion, and library start-up.
#pragma once

#include <gst/gst.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/error.h"

namespace kx::gst {

// Initialises GStreamer once per process; false when the library cannot start.
bool ensureInitialized();

// Owns one reference of a GObject (GstElement, GstPad, GstWebRTCDataChannel...).
template <typename T>
class Ref {
 public:
  Ref() = default;
  // Takes over a reference the caller already owns (a "transfer full" return).
  static Ref adopt(T* object) {
    Ref r;
    r.object_ = object;
    return r;
  }
  // Adds a reference of its own; for "transfer none" values.
  static Ref share(T* object) {
    if (object) g_object_ref(object);
    return adopt(object);
  }
  Ref(const Ref& other) : object_(other.object_) {
    if (object_) g_object_ref(object_);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { reset(); }

  void reset() {
    if (auto* o = std::exchange(object_, nullptr)) g_object_unref(o);
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

using ElementRef = Ref<GstElement>;

struct MiniObjectUnref {
  void operator()(void* p) const { gst_mini_object_unref(GST_MINI_OBJECT_CAST(p)); }
};
using CapsPtr = std::unique_ptr<GstCaps, MiniObjectUnref>;
using BufferPtr = std::unique_ptr<GstBuffer, MiniObjectUnref>;
using SamplePtr = std::unique_ptr<GstSample, MiniObjectUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MiniObjectUnref>;

struct StructureFree {
  void operator()(GstStructure* s) const { gst_structure_free(s); }
};
using StructurePtr = std::unique_ptr<GstStructure, StructureFree>;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

// An element from the registry; null when the plugin is missing.
ElementRef makeElement(const char* factory, const char* name = nullptr);

// Sets a property only when the element has it (properties differ between
// plugin versions; the missing ones are tuning, never correctness).
template <typename V>
void setIfPresent(GstElement* element, const char* property, V value) {
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), property)) {
    g_object_set(element, property, value, nullptr);
  }
}

// GStreamer's own errors pass through unchanged: the GError domain, code and
// message become the Error's domain, code and description.
Error errorFromGError(const GError* error);
// The error carried by an ERROR bus message.
Error errorFromMessage(GstMessage* message);

// The program's own engine errors (domain "WebRTC", code 1).
inline Error engineError(std::string description) { return makeError("WebRTC", 1, std::move(description)); }

}  // namespace kx::gst
