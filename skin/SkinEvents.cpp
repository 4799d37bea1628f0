// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/SkinEvents.h"

wxDEFINE_EVENT(EVT_SLIDER_DRAG_MSG, wxCommandEvent);
wxDEFINE_EVENT(EVT_SLIDER_CHANGE_MSG, wxCommandEvent);
