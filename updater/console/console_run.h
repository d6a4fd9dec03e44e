// The console program's commands (list, version, update, reset), run on the
// program's hidden dialog as a station runs its cameras: the dialog keeps
// the device list, the arrivals and the update's steps; the command picks
// the camera, starts the update as F/W UPDATE and OK would, follows it
// through the engines' reports and prints what happens.
#pragma once

#include <string>

#include "console_args.h"

// Starts the command; its work goes on in the program's message loop, which
// ends (through the dialog's EXIT) when the command is done.
void StartConsoleRun(const console::Arguments& arguments);
// The exit code of the command that ran.
int ConsoleRunExitCode();

// Standard output carries the program's lines only: what the C library
// would print there (the camera library's echoes) is dropped. First thing.
void KeepStandardOutputForLines();

// A line for whoever runs the program: on standard output, or on standard
// error (toError). A console gets it as wide text, a pipe or a file as UTF-8.
void ConsoleLine(const std::wstring& text, bool toError = false);
