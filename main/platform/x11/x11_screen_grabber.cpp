#include "platform/x11/x11_screen_grabber.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>

namespace kx::x11 {

struct ScreenGrabber::Image {
  ::Display* display = nullptr;
  XImage* image = nullptr;
  XShmSegmentInfo shm{};
  bool shared = false;
  bool attached = false;

  ~Image() {
    if (attached) XShmDetach(display, &shm);
    // A shared-memory image's destroy function frees only the structure;
    // a GetImage one frees its pixels too.
    if (image) XDestroyImage(image);
    if (shared && shm.shmaddr) shmdt(shm.shmaddr);
  }
};

namespace {

// 32 bits per pixel, blue in the lowest byte: the layout of a 24- or 32-bit
// TrueColor screen on every little-endian machine.
bool isBgrx(const XImage* image) {
  return image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xff0000 &&
         image->green_mask == 0xff00 && image->blue_mask == 0xff;
}

}  // namespace

Expected<std::unique_ptr<ScreenGrabber>> ScreenGrabber::create(Connection& connection, const Rect& area) {
  ::Display* x = connection.get();
  const int screen = DefaultScreen(x);
  const int ax = int(area.x), ay = int(area.y), aw = int(area.width), ah = int(area.height);
  if (aw <= 0 || ah <= 0 || ax < 0 || ay < 0 || ax + aw > DisplayWidth(x, screen) || ay + ah > DisplayHeight(x, screen)) {
    return makeError("Screen capture", 1, "The display lies outside the screen");
  }
  std::unique_ptr<ScreenGrabber> grabber(new ScreenGrabber(connection, ax, ay, aw, ah));
  auto image = std::make_unique<Image>();
  image->display = x;
  Visual* visual = DefaultVisual(x, screen);
  const int depth = DefaultDepth(x, screen);

  if (XShmQueryExtension(x)) {
    image->image = XShmCreateImage(x, visual, unsigned(depth), ZPixmap, nullptr, &image->shm, unsigned(aw), unsigned(ah));
    if (image->image) {
      image->shm.shmid = shmget(IPC_PRIVATE, size_t(image->image->bytes_per_line) * size_t(ah), IPC_CREAT | 0600);
      if (image->shm.shmid >= 0) {
        image->shm.shmaddr = image->image->data = static_cast<char*>(shmat(image->shm.shmid, nullptr, 0));
        if (image->shm.shmaddr == reinterpret_cast<char*>(-1)) image->shm.shmaddr = image->image->data = nullptr;
        image->shared = image->shm.shmaddr != nullptr;
        image->shm.readOnly = False;
        if (image->shared && XShmAttach(x, &image->shm) && connection.sync() == 0) image->attached = true;
        // Marked for removal now: the segment goes away with its last user,
        // even if this process dies.
        shmctl(image->shm.shmid, IPC_RMID, nullptr);
      }
      if (!image->attached) {
        // A remote server cannot see our memory: fall back to GetImage.
        if (image->image) {
          image->image->data = nullptr;
          XDestroyImage(image->image);
          image->image = nullptr;
        }
        if (image->shm.shmaddr) shmdt(image->shm.shmaddr);
        image->shm = {};
        image->shared = false;
      }
    }
  }
  if (!image->attached) {
    image->image = XGetImage(x, DefaultRootWindow(x), ax, ay, unsigned(aw), unsigned(ah), AllPlanes, ZPixmap);
    if (!image->image || connection.sync() != 0) return makeError("Screen capture", 1, "The screen cannot be read");
  }
  if (!isBgrx(image->image)) return makeError("Screen capture", 1, "The screen's pixel format is not supported");
  grabber->image_ = std::move(image);
  int eventBase = 0, errorBase = 0;
  grabber->haveCursor_ = XFixesQueryExtension(x, &eventBase, &errorBase);
  return grabber;
}

ScreenGrabber::ScreenGrabber(Connection& connection, int x, int y, int width, int height)
    : connection_(connection), x_(x), y_(y), width_(width), height_(height) {}

ScreenGrabber::~ScreenGrabber() = default;

int ScreenGrabber::stride() const { return image_->image->bytes_per_line; }
const uint8_t* ScreenGrabber::data() const { return reinterpret_cast<const uint8_t*>(image_->image->data); }

bool ScreenGrabber::grab(bool withCursor) {
  if (connection_.lost()) return false;
  ::Display* x = connection_.get();
  if (image_->attached) {
    if (!XShmGetImage(x, DefaultRootWindow(x), image_->image, x_, y_, AllPlanes)) return false;
  } else {
    XImage* fresh = XGetImage(x, DefaultRootWindow(x), x_, y_, unsigned(width_), unsigned(height_), AllPlanes, ZPixmap);
    if (!fresh) return false;
    if (!isBgrx(fresh) || fresh->bytes_per_line != image_->image->bytes_per_line) {
      XDestroyImage(fresh);
      return false;
    }
    XDestroyImage(image_->image);
    image_->image = fresh;
  }
  if (connection_.sync() != 0 || connection_.lost()) return false;
  if (withCursor && haveCursor_) drawCursor();
  return true;
}

void ScreenGrabber::drawCursor() {
  XFixesCursorImage* cursor = XFixesGetCursorImage(connection_.get());
  if (!cursor) return;
  const int left = cursor->x - cursor->xhot - x_;
  const int top = cursor->y - cursor->yhot - y_;
  auto* pixels = reinterpret_cast<uint8_t*>(image_->image->data);
  const int stride = image_->image->bytes_per_line;
  for (int cy = std::max(0, -top); cy < cursor->height && top + cy < height_; ++cy) {
    for (int cx = std::max(0, -left); cx < cursor->width && left + cx < width_; ++cx) {
      // Premultiplied ARGB, one pixel per unsigned long.
      const unsigned long argb = cursor->pixels[cy * cursor->width + cx];
      const unsigned alpha = (argb >> 24) & 0xff;
      if (alpha == 0) continue;
      uint8_t* p = pixels + size_t(top + cy) * size_t(stride) + size_t(left + cx) * 4;
      const unsigned keep = 255 - alpha;
      p[0] = uint8_t((argb & 0xff) + p[0] * keep / 255);
      p[1] = uint8_t(((argb >> 8) & 0xff) + p[1] * keep / 255);
      p[2] = uint8_t(((argb >> 16) & 0xff) + p[2] * keep / 255);
    }
  }
  XFree(cursor);
}

}  // namespace kx::x11
