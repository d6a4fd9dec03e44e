// Export macro of corvane_sim.dll. The DLL is built with CORVANE_SIM_BUILD;
// test programs and device models outside the DLL import its classes.
#pragma once

#if defined(CORVANE_SIM_BUILD)
#define CORVANE_SIM_API __declspec(dllexport)
#else
#define CORVANE_SIM_API __declspec(dllimport)
#endif
