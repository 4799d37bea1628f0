// SPDX-License-Identifier: GPL-3.0-or-later
// Memory settings of the viewer's own process, made at the start of main before the toolkit opens
// its display, and undone (where they are environment) once the toolkit is up.
//
// The window process draws nothing with OpenGL: the picture panes and the skin are cairo, and the
// map page is drawn by WebKit's web process. Yet GTK probes GLX when it opens the display and
// WebKit's window side opens an EGL display when its first view is made; on a machine without a
// graphics card (Xvfb, a virtual machine) either loads Mesa's software rasteriser and with it LLVM,
// some 50 MB of resident memory that is never used. BeginLeanStart keeps both out of this process
// only: the web process, started later, gets the user's environment back and draws the map with
// whatever OpenGL the machine has.
//
// Call BeginLeanStart first thing in main (one thread only), EndLeanStart right after the toolkit
// has initialised, before any window (and so before any web process) is made.
#pragma once

// GDK skips its GLX probe and libglvnd's EGL is pinned to no vendor in this process. Returns
// whether EGL could be pinned (false when libEGL is not installed, which leaves nothing to pin,
// or when the user chose the EGL vendors).
bool BeginLeanStart();

// Gives the environment back as it was before BeginLeanStart, for the processes started later.
void EndLeanStart();
