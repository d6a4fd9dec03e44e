// Shared pieces of the boot-loader download tests: boot images, the loader
// image in memory, device paths and the captured debug lines.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim_world.h"

using Bytes = std::vector<uint8_t>;

struct BootSection {
    uint32_t words;
    uint32_t address;
};

// "CY", two free bytes, each section with Pattern data, then the end with
// the entry address.
Bytes BootImage(const std::vector<BootSection>& sections, uint32_t entry);
// The data bytes of section i of a BootImage.
Bytes BootSectionData(const std::vector<BootSection>& sections, size_t i);

// Puts a copy of bytes where the list rebuild leaves the loader image it read.
void SetLoaderImage(const Bytes& bytes);

std::wstring UsbPath(sim::DeviceId device);
std::wstring HidPath(sim::DeviceId device);

// Debug lines captured so far, and where a line first stands (-1: never).
std::vector<std::wstring> Lines();
int LineIndex(const std::wstring& line);
int LineCount(const std::wstring& line);

// Puts bytes into a file of that name in a fresh folder and makes the folder
// the program's folder (g_szExePath); returns the folder.
std::wstring ProgramFolderWith(const std::wstring& name, const Bytes& bytes);

// Runs proc on a thread of its own, serving this thread's messages, and
// returns its exit code (99 when it did not end within 60 s).
DWORD RunOnThread(LPTHREAD_START_ROUTINE proc);
// Waits for a thread handle (serving messages); false on time-out.
bool WaitThread(HANDLE thread, DWORD timeoutMs = 60000);
