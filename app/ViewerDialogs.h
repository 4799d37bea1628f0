// SPDX-License-Identifier: GPL-3.0-or-later
// The dialogs that the player window's features ask the window for: message boxes and the folder
// picker. The window shows them through runners that tests replace, so that no modal dialog waits
// for a user. Window thread only.
#pragma once

#include <wx/string.h>

class ViewerDialogs {
 public:
  virtual ~ViewerDialogs() = default;

  // Shows a message box: text, caption and wx style flags; returns wxID_YES, wxID_NO or wxID_OK.
  virtual int ShowMessage(const wxString& text, const wxString& caption, long style) = 0;
  // Runs the folder picker with its title and the folder it opens at; true with the chosen one.
  virtual bool ChooseFolder(const wxString& title, const wxString& start, wxString* folder) = 0;
};
