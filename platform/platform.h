// The one platform header of the product. Windows builds see the real API;
// host builds see the project's own declarations, served by the stand-in.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#else
#include "host_platform.h"
#endif
