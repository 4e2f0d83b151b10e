// SPDX-License-Identifier: MIT
//
// How the desktop knows the program: its name and icon, as each system
// takes them. One source file per system.
#pragma once

// After the QApplication is made.
void setDesktopIdentity();
