#include "app/Desktop.h"

#include <cairo.h>
#include <gdk/gdk.h>
#include <gtk/gtk.h>
#include <wx/toplevel.h>

#include <cstdlib>

#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
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

bool SaveWindowPicture(wxTopLevelWindow* window, const std::string& path) {
  GtkWidget* widget = window != nullptr ? window->GetHandle() : nullptr;
  if (widget == nullptr) return false;
  const int width = gtk_widget_get_allocated_width(widget);
  const int height = gtk_widget_get_allocated_height(widget);
  if (width <= 0 || height <= 0) return false;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  // The window and every control in it paint into the picture as they paint on screen.
  gtk_widget_draw(widget, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const bool written = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
                       cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return written;
}
