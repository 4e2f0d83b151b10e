// SPDX-License-Identifier: MIT
#include "identity.h"

void setDesktopIdentity()
{
    // Windows takes the name and the icon from the executable's resources.
}
