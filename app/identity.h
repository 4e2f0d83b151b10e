// SPDX-License-Identifier: MIT
//
// How the desktop knows the program: its name and icon, as each system
// takes them, and the fonts its forms name in that system's terms. One
// source file per system.
#pragma once

// After the QApplication is made, before the first window.
void setDesktopIdentity();

// Before the first window is shown: its images take longer to decode than
// the main window takes to build, so they need not delay its first search.
void setDesktopIcon();
