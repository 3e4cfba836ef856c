#include "platform/gst/gst_support.h"

#include <mutex>

namespace kx::gst {

bool ensureInitialized() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    GError* raw = nullptr;
    ok = gst_init_check(nullptr, nullptr, &raw);
    if (raw) g_error_free(raw);
  });
  return ok;
}

ElementRef makeElement(const char* factory, const char* name) {
  GstElement* element = gst_element_factory_make(factory, name);
  // Elements start floating; sink the reference so the owner holds a real one
  // and adding the element to a bin takes a reference of its own.
  if (element) gst_object_ref_sink(element);
  return ElementRef::adopt(element);
}

Error errorFromGError(const GError* error) {
  if (!error) return engineError("Unknown GStreamer error");
  return makeError(g_quark_to_string(error->domain), error->code, error->message ? error->message : "");
}

Error errorFromMessage(GstMessage* message) {
  GError* raw = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &raw, &debug);
  GErrorPtr error(raw);
  GCharPtr detail(debug);
  return errorFromGError(error.get());
}

}  // namespace kx::gst
