// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ProcessMemory.h"

#include <dlfcn.h>

#include <cstdlib>

namespace {

// The EGL vendor list libglvnd reads once, when a process first asks EGL anything; a file that
// does not exist gives a list of none, so every EGL display this process asks for is refused and
// WebKit's window side takes the frames of the web process through shared memory.
constexpr const char* kEglVendorsVariable = "__EGL_VENDOR_LIBRARY_FILENAMES";
constexpr const char* kNoEglVendors = "/nonexistent/roadeye-no-egl-vendor.json";
// GTK 3's switch for its GL support (GtkGLArea, GL visuals): none of our windows uses it.
constexpr const char* kGdkGlVariable = "GDK_GL";

bool gSetGdkGl = false;

using EglQueryString = const char* (*)(void*, int);
constexpr int kEglExtensions = 0x3055;  // EGL_EXTENSIONS

}  // namespace

bool BeginLeanStart() {
  if (std::getenv(kGdkGlVariable) == nullptr) {
    gSetGdkGl = setenv(kGdkGlVariable, "disable", 1) == 0;
  }
  if (std::getenv(kEglVendorsVariable) != nullptr) return false;  // the user chose the vendors
  // Kept loaded for the life of the process: epoxy opens the same library by the same name later
  // and finds its vendor list already read.
  void* egl = dlopen("libEGL.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (egl == nullptr) return false;
  auto query = reinterpret_cast<EglQueryString>(dlsym(egl, "eglQueryString"));
  if (query == nullptr) return false;
  if (setenv(kEglVendorsVariable, kNoEglVendors, 1) != 0) return false;
  // The client extensions are the vendors' own: asking for them makes libglvnd read the list now,
  // and never again in this process.
  query(nullptr, kEglExtensions);
  unsetenv(kEglVendorsVariable);
  return true;
}

void EndLeanStart() {
  if (gSetGdkGl) unsetenv(kGdkGlVariable);
  gSetGdkGl = false;
}
