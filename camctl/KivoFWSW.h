// KivoFWSW: the camera-control library's exported interface.
#pragma once

#include <wchar.h>

#ifdef KIVOFWSW_BUILD
#define KIVOFWSW_API extern "C" __declspec(dllexport)
#else
#define KIVOFWSW_API extern "C" __declspec(dllimport)
#endif
