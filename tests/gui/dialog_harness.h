// The real main dialog (resource 129) in a test process, against the
// simulated world: commands are sent as the controls send them, and the
// controls are read back.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "sim_world.h"

class DialogHarness {
public:
    DialogHarness();
    ~DialogHarness();

    // Creates the dialog (its initialisation scans the devices) and lets the
    // command thread start.
    void Open();
    void Click(int id);
    // Selects list item index as the operator does (a selection change).
    void Select(int index);
    // The dialog made the foreground window again, if another took it.
    void Activate();
    // A key pressed and let go as the keyboard sends it to the focus, through
    // the program's message loop.
    void Key(UINT vk, bool shift = false);
    // The control that has the focus: its ID, 0 for the dialog itself, -1
    // for none of the dialog's windows (taken with the dialog in the
    // foreground).
    int FocusId();
    void Send(UINT message, WPARAM wParam, LPARAM lParam = 0);

    bool Visible(int id) const;
    bool Enabled(int id) const;
    std::wstring Text(int id) const;
    std::vector<std::wstring> ListItems() const;
    int ListSelection() const;
    int ProgressPosition() const;

    // Serves this thread's messages for ms of real time.
    void Pump(DWORD ms);
    // Serves messages until cond holds or timeoutMs of real time passed.
    bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs = 10000);
    // The simulator's timeline drained and every message served.
    void Settle();

    std::vector<std::wstring> BoxTexts() const;
    // Saves a picture of the dialog as a BMP file; false when it could not.
    bool Screenshot(const std::wstring& path);

    HWND dialog = nullptr;
};
