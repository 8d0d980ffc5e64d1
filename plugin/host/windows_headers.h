// Windows's own header as this layer includes it everywhere: without the min/max macros, which
// break std::min and std::max, and without the rarely used parts. Only the host layer includes it.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
