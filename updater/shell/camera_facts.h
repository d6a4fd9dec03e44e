// What the programs that drive the dialog's update without its buttons (a
// station, the console program) ask of the device list and the firmware
// file: which stage of a camera's trip an entry is, its version without a
// box, and the file's bytes and what they hold.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// List entry i is an update-mode device (DF00, DF01, DF02).
bool EntryInUpdateMode(int i);
// List entry i is a boot loader (the FX3's, the NXP ROM's).
bool EntryIsBootLoader(int i);
// List entry i is a V9 camera (written through the Sunplus library).
bool EntryIsV9(int i);
// The list entry of a device path, -1 when it is not listed.
int EntryOfPath(const std::wstring& path);

// The version READ F/W VERSION would show for list entry i, read on a thread
// of its own while the dialog serves its messages: "1.2.10.300", or "" with
// *ok false when its kind has no version read or the read failed.
std::string ReadEntryVersion(int i, bool* ok);
// "Firmware Version = 1.2.10.300" -> "1.2.10.300"; several lines -> one.
std::string VersionOfText(const wchar_t* text);

// The dialog's update has a start, a worker or a wait running, or its update
// thread still holds the device.
bool DialogUpdateRuns();
// Its workers are still running (what must end before a failure is final).
bool DialogUpdateWorkersRun();

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* out);
// "two-part image, image type 2"; *ok false when the bytes are no image this
// program can write.
std::wstring LayoutText(const std::vector<uint8_t>& data, bool* ok);
// The model a file name says ("Corvane_RX20_fw.img" -> "Corvane_RX20"), ""
// when it names none.
std::wstring ModelInFileName(const std::wstring& name);
// Whether a camera listed under this name may be given the file: an
// update-mode device ("DFU" in its name) has no model to check; any other
// must be the model the file name says, word for word.
bool DeviceFitsFile(const std::wstring& deviceName, const std::wstring& fileName);

std::wstring WideOfUtf8(const std::string& utf8);
std::wstring UpperText(std::wstring s);

// What F/W UPDATE and the warning's OK do for list entry i and this file's
// bytes, without the question, the warning or a box: the entry is selected,
// the image read, and the update started. False (nothing started) when the
// bytes are no image.
bool StartDialogUpdate(int i, const std::wstring& firmwarePath, const std::wstring& firmwareName,
                       const std::vector<uint8_t>& image);

// The engines' reports of the dialog's update, kept for the program that
// follows it without the boxes (update_outcome.h's sink). A communication
// failure leaves the update waiting for its camera (bounded): as in the
// dialog, the camera may come back and take the rest of its image, so the
// failure is kept as trouble, the camera's result only if it does not.
// Returns the kind kept. Any thread.
enum class UpdateReport;
UpdateReport KeepDialogUpdateReport(UpdateReport kind, const wchar_t* text);
struct KeptReports {
    bool reported = false;  // an ending was told
    UpdateReport kind;
    std::wstring text;      // the ending's
    std::wstring trouble;   // the first trouble's
};
KeptReports DialogUpdateReports();
void ForgetDialogUpdateReports();
// A failed update given up once its workers ended: its wait for the camera
// ends with it, and a camera that still comes back starts nothing.
void GiveUpDialogUpdate();

// Where an update is, for a row or a line: "updating: writing part 2".
enum class UpdatePhase;
const char* UpdatePhaseText(UpdatePhase phase);
