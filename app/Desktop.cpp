// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Desktop.h"

#include <cairo.h>
#include <gdk/gdk.h>
#include <gtk/gtk.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/toplevel.h>

#include <cstdint>
#include <cstdlib>

#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif
#ifdef GDK_WINDOWING_X11
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#endif

void ChooseDisplayBackend() {
  if (std::getenv("GDK_BACKEND") != nullptr) return;  // the user's choice stands
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  if (wayland != nullptr && wayland[0] != '\0' && x11 != nullptr && x11[0] != '\0') {
    gdk_set_allowed_backends("x11,wayland");
  }
}

bool OnWaylandDisplay() {
#ifdef GDK_WINDOWING_WAYLAND
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr && GDK_IS_WAYLAND_DISPLAY(display);
#else
  return false;
#endif
}

void LetCompositorSizeWindow(wxTopLevelWindow* window) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  if (widget == nullptr || !GTK_IS_WINDOW(widget) || !OnWaylandDisplay()) return;
  gtk_window_set_resizable(GTK_WINDOW(widget), TRUE);
}

void BeginWindowMove(wxTopLevelWindow* window, int screenX, int screenY) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  if (widget == nullptr || !GTK_IS_WINDOW(widget)) return;
  gtk_window_begin_move_drag(GTK_WINDOW(widget), 1, screenX, screenY, gtk_get_current_event_time());
}

namespace {

// The window drawn into a new image surface (null when it cannot be drawn); the caller destroys
// it.
cairo_surface_t* DrawWindow(wxTopLevelWindow* window) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  if (widget == nullptr) return nullptr;
  const int width = gtk_widget_get_allocated_width(widget);
  const int height = gtk_widget_get_allocated_height(widget);
  if (width <= 0 || height <= 0) return nullptr;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  // The window and every control in it paint into the picture as they paint on screen.
  gtk_widget_draw(widget, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  return surface;
}

}  // namespace

bool SaveWindowPicture(wxTopLevelWindow* window, const std::string& path) {
  cairo_surface_t* surface = DrawWindow(window);
  if (surface == nullptr) return false;
  const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return written;
}

namespace {

struct FrameWait {
  std::function<void()> done;
  gulong handler = 0;
};

void OnAfterPaint(GdkFrameClock* clock, gpointer data) {
  auto* wait = static_cast<FrameWait*>(data);
  g_signal_handler_disconnect(clock, wait->handler);
  // Run outside the frame clock's signal: the caller may draw or close the window.
  wxTheApp->CallAfter([wait] {
    wait->done();
    delete wait;
  });
}

}  // namespace

void AfterNextFrame(wxTopLevelWindow* window, std::function<void()> done) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  GdkFrameClock* clock = widget != nullptr ? gtk_widget_get_frame_clock(widget) : nullptr;
  if (clock == nullptr) {
    done();
    return;
  }
  auto* wait = new FrameWait{std::move(done)};
  wait->handler = g_signal_connect(clock, "after-paint", G_CALLBACK(OnAfterPaint), wait);
  gdk_frame_clock_request_phase(clock, GDK_FRAME_CLOCK_PHASE_PAINT);
}

bool WindowAllocationPending(wxTopLevelWindow* window) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  if (widget == nullptr || !GTK_IS_WINDOW(widget)) return false;
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(widget), &width, &height);
  return gtk_widget_get_allocated_width(widget) != width ||
         gtk_widget_get_allocated_height(widget) != height;
}

bool DrawWindowPicture(wxTopLevelWindow* window, wxImage* image) {
  cairo_surface_t* surface = DrawWindow(window);
  if (surface == nullptr || image == nullptr) {
    if (surface != nullptr) cairo_surface_destroy(surface);
    return false;
  }
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  image->Create(width, height, false);
  unsigned char* out = image->GetData();
  for (int y = 0; y < height; ++y) {
    // Cairo's RGB24: one 32-bit word a pixel, red in bits 16-23.
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + std::ptrdiff_t(y) * stride);
    for (int x = 0; x < width; ++x, out += 3) {
      out[0] = static_cast<unsigned char>(row[x] >> 16);
      out[1] = static_cast<unsigned char>(row[x] >> 8);
      out[2] = static_cast<unsigned char>(row[x]);
    }
  }
  cairo_surface_destroy(surface);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reading the screen.

struct ScreenReader::Impl {
#ifdef GDK_WINDOWING_X11
  Display* display = nullptr;
  XImage* image = nullptr;  // kept between reads; made larger when a read needs it
  int imageWidth = 0, imageHeight = 0;
  ~Impl() {
    if (image != nullptr) XDestroyImage(image);
  }
#endif
};

ScreenReader::ScreenReader() : impl_(std::make_unique<Impl>()) {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* gdk = gdk_display_get_default();
  if (gdk != nullptr && GDK_IS_X11_DISPLAY(gdk)) impl_->display = GDK_DISPLAY_XDISPLAY(gdk);
#endif
}

ScreenReader::~ScreenReader() = default;

bool ScreenReader::Available() const {
#ifdef GDK_WINDOWING_X11
  return impl_->display != nullptr;
#else
  return false;
#endif
}

bool ScreenReader::ScreenSize(int* width, int* height) const {
#ifdef GDK_WINDOWING_X11
  if (impl_->display == nullptr) return false;
  const int screen = DefaultScreen(impl_->display);
  *width = DisplayWidth(impl_->display, screen);
  *height = DisplayHeight(impl_->display, screen);
  return true;
#else
  (void)width;
  (void)height;
  return false;
#endif
}

bool ScreenReader::Read(int x, int y, int width, int height, std::vector<unsigned char>* rgb) {
#ifdef GDK_WINDOWING_X11
  Display* d = impl_->display;
  if (d == nullptr || width <= 0 || height <= 0 || rgb == nullptr) return false;
  if (impl_->image == nullptr || impl_->imageWidth < width || impl_->imageHeight < height) {
    if (impl_->image != nullptr) XDestroyImage(impl_->image);
    impl_->image = XGetImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height),
                             AllPlanes, ZPixmap);
    if (impl_->image == nullptr) return false;
    impl_->imageWidth = width;
    impl_->imageHeight = height;
  } else if (XGetSubImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height),
                          AllPlanes, ZPixmap, impl_->image, 0, 0) == nullptr) {
    return false;
  }
  XImage* image = impl_->image;
  rgb->resize(std::size_t(width) * height * 3);
  unsigned char* out = rgb->data();
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col, out += 3) {
      const unsigned long pixel = XGetPixel(image, col, row);
      out[0] = static_cast<unsigned char>((pixel & image->red_mask) >> 16);
      out[1] = static_cast<unsigned char>((pixel & image->green_mask) >> 8);
      out[2] = static_cast<unsigned char>(pixel & image->blue_mask);
    }
  }
  return true;
#else
  (void)x;
  (void)y;
  (void)width;
  (void)height;
  (void)rgb;
  return false;
#endif
}

bool ScreenReader::Pointer(int* x, int* y) const {
#ifdef GDK_WINDOWING_X11
  Display* d = impl_->display;
  if (d == nullptr) return false;
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
    return false;
  }
  *x = rootX;
  *y = rootY;
  return true;
#else
  (void)x;
  (void)y;
  return false;
#endif
}
