// SPDX-License-Identifier: MIT
//
// How the desktop knows the program: its name and icon, as each system
// takes them, and the fonts its forms name in that system's terms. One
// source file per system.
#pragma once

// After the QApplication is made, before the first window.
void setDesktopIdentity();
