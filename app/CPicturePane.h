// SPDX-License-Identifier: GPL-3.0-or-later
// A picture pane of the player window: the engine's worker presents decoded pictures into it
// (VideoSurface), the pane keeps a copy and asks for a repaint on the window thread. Painting
// draws the last picture, scaled when the pane has changed size since, or black before the first.
//
// The pictures come already in the pane's format (RGB, as wx images are): a present copies rows
// into a buffer of its own and, under the lock, only swaps it with the one painting reads.
#pragma once

#include <wx/window.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "playback/VideoSurface.h"

class CPicturePane : public wxWindow {
 public:
  CPicturePane(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxDefaultSize);
  ~CPicturePane() override;

  // The surface the engine draws through; valid as long as the pane.
  VideoSurface* Surface() { return &surface_; }

  // Window thread: pictures presented so far, and a copy of the last one (RGB), for tests and
  // snapshots.
  int PresentedCount() const { return presented_.load(std::memory_order_acquire); }
  wxImage LastPicture() const;
  // Forgets the picture (the pane shows black).
  void ClearPicture();

 private:
  class PaneSurface final : public VideoSurface {
   public:
    explicit PaneSurface(CPicturePane* pane) : pane_(pane) {}
    void GetSize(int* width, int* height) const override;
    // Calls never overlap: the decoder's lock serialises them.
    void Present(const unsigned char* rgb, int width, int height, int stride) override;

   private:
    CPicturePane* pane_;
  };

  void OnPaint(wxPaintEvent& event);
  void OnSize(wxSizeEvent& event);
  // The engine scales to the size the pane was given at once, not when the toolkit's size event
  // comes later.
  void DoSetSize(int x, int y, int width, int height, int sizeFlags) override;
  void UpdateSurfaceSize();
  void OnPictureArrived(wxThreadEvent& event);

  PaneSurface surface_{this};
  // The size the engine scales to, written on the window thread, read by the worker.
  std::atomic<int> width_{0}, height_{0};
  std::atomic<int> presented_{0};
  std::atomic<bool> repaintPosted_{false};

  struct Picture {
    std::vector<unsigned char> rgb;  // rows back to back, no padding
    int width = 0, height = 0;
  };
  // The picture being written by Present, touched by no other thread.
  Picture back_;
  // The last picture, read by the window thread (paint) under the lock; Present swaps back_ in.
  mutable std::mutex lock_;
  Picture last_;
};
