// Worlds described in a text file (a world file), so that the simulated
// updater program can be started against cameras without code:
// CORVANE_SIM_SCENARIO names the file, and the world is built the first time
// the program asks for the OS table. A world file says what the simulator
// can do: every kind of camera with its whole trip through update mode and
// back, update-mode devices and boot loaders on their own, every fault knob
// of every device model, device timing, and events on a timeline or on a
// trigger.
//
// One statement per line; "#" starts a comment; a statement is a word and
// key=value tokens, values without blanks. %NAME% in a value is the
// environment variable NAME. Every line is checked before anything is built:
// an unknown statement, key, kind, fault or value is an error that names its
// line, and then nothing is built (the program does not start).
// Numbers are decimal or 0x-hexadecimal; counts of blocks, requests, reports
// and commands start at 1 (the first block is block 1).
//
// --- devices ---------------------------------------------------------------
//
//   camera kind=<kind> [serial=S] [label=L] [ports=3,2] [name=N] [keys...]
//     A camera in normal mode. Its trip, by kind:
//       hid      4A7E:C110 HID camera: handshake -> update-mode device
//                4A7E:DF00 (same serial) for `runs` downloads -> the camera
//                again, with the version the first six bytes of the image
//                carry
//       stereo   4A7E:C114, MI_02 + MI_03, the same trip as hid
//       cx3      04B4:C1D0 CX3 camera: erase and reset -> FX3 boot loader
//                04B4:00F3 (cyusb3) -> the boot image it is given runs as
//                update-mode device 4A7E:DF00 for `runs` downloads (default
//                1) -> the CX3 camera again
//       tessa    4A7E:C123: extension-unit request -> 4A7E:DF01 for `runs`
//                downloads -> stays on the bus in update mode until the
//                operator unplugs it (they are told to replug it); with
//                replug-ms=T they do so T ms after the last download, and it
//                comes back as the camera (after arrive-ms) with the version
//                the image's first four bytes carry
//       r7       4A7E:C05C: fall-back request -> NXP ROM 1FC9:0135 -> the
//                flash loader it is given runs as 4A7E:DF02 -> after the
//                restart request the R7 camera again
//       v9       4A7E:C181, updated in normal mode through the Sunplus
//                library stand-in (its chip); sunplus: the same as 1BCF:0B12
//     Every trip can be made again (a camera back in normal mode can be
//     updated once more).
//
//   update-mode-device pid=DF00|DF01|DF02 [serial] [label] [ports] [becomes=B] [keys...]
//     A device already in update mode. DF00 and DF01 (WinUSB): after `runs`
//     downloads (default 2) they come back as B: update-mode (default: in
//     update mode again), none (they leave), hid or stereo (DF00), tessa
//     (DF01). DF02 is the NXP flash loader (HID); B: none (default) or r7.
//
//   boot-loader kind=fx3|nxp-rom [serial] [label] [ports] [becomes=B] [keys...]
//     A camera stuck in its boot loader. fx3: the FX3 boot loader, then the
//     update-mode device DF00 its boot image runs as, then B: cx3 (default),
//     update-mode or none. nxp-rom: the ROM, then the flash loader DF02, then
//     B: r7 (default) or none.
//
//   Keys of the device statements (each only where its stage exists):
//     serial=S      USB serial number (empty: Windows makes up the instance ID)
//     label=L       the name events use for the device (default: the serial)
//     ports=R,H..   root port, then hub ports (default 1)
//     name=N        the camera's friendly name
//     runs=N        downloads the update-mode device takes before it leaves
//                   update mode (2 for a two-part image, 1 otherwise)
//     version=...   the camera's firmware version: hid/stereo a.b.c.d (8, 8,
//                   16, 16 bits), cx3 major.minor.month.day.year, tessa
//                   a.b.c.d, r7 year.month.day.version, v9/sunplus
//                   major.minor.build (16-bit build)
//     unique-id=H   hid/stereo: the 4-byte unique ID, 8 hex digits
//     isp-version=a.b, isp-date=T, isp-time=T, report-length=N   cx3
//     flash-type=N, percent-step=N, step-ms=T, hold-ms=T   the Sunplus chip
//     replug-ms=T   tessa: the operator replugs it T ms after its update
//     leave-ms=T    how soon a device leaves the bus after the request that
//                   restarts it (every stage of the trip)
//     arrive-ms=T   how long it stays away before it arrives as what comes
//                   next (re-enumeration delay)
//     reply-ms=T    how long the device takes to answer a request (slow
//                   replies)
//     timeout-ms=T  how long a request the device does not answer takes to
//                   fail: the driver's time-out (default 5000)
//     fault=F       a fault knob (repeatable), listed below
//     part=P        the image part (1 or 2) of every block number of the
//                   statement that does not name its own (block:N:P)
//     at=T | when=W [of=L] [after=T]
//                   plug the device later instead of now (see triggers)
//
// --- faults (fault=NAME or fault=NAME:VALUE) -------------------------------
//
//   HID camera:  no-reply, reply-code:N, open-error:N (a Win32 error),
//                leave-at-command:N, no-update-mode (an accepted handshake
//                does not send it away)
//   CX3 camera:  erase-polls:N (busy reports after an erase), stays-busy,
//                busy-at-start:N, reset-refusals:N, length-byte:N,
//                input-report-error:N, open-error:N
//   extension-unit cameras: no-reply, fail-selector:N,
//                fail-eeprom-address:N (r7), extension-units:N, units-first,
//                no-device-path, no-friendly-name, storage-bind-fails,
//                filter-bind-fails, no-topology-info, node-instance-fails,
//                node-without-control
//   update-mode device (DF00, DF01): start-state:N, busy-polls:N,
//                erasing-polls:N (status requests after a part's first
//                block that go unanswered until the time-out),
//                stall-at-block:N, error-state-at-block:N,
//                short-count-at-block:N, leave-at-block:N (block:N or
//                block:N:P; all block faults of a device hit one part),
//                stay-busy, status-stalls, status-short, erase-fails,
//                ignores-state-change, mcu-verify-status:N,
//                mcu-verify-state:N, fpga-verify-status:N, fpga-verify-state:N
//   FX3 boot loader: fx3-reject-request:N, fx3-leave-at-request:N,
//                fx3-stall-at-request:N (never completed)
//   NXP ROM:     rom-reject-report:N, rom-leave-at-report:N, rom-no-reply,
//                rom-hab-closed
//   NXP flash loader: loader-reject-report:N, loader-leave-at-report:N,
//                loader-no-reply, loader-initial-flash:N
//   Sunplus chip: not-found, flash-type-fails, fail-at-percent:N,
//                hold-at-percent:N (for hold-ms)
//
// --- triggers --------------------------------------------------------------
//
//   at=T                  T simulated ms after the world was built
//   when=handshake        a camera got the request that sends it to update mode
//   when=update-start     the first request of an update: to the update-mode
//                         device, the boot loader or the Sunplus chip
//   when=block:N[:P]      a device took block N (of image part P, or part=P):
//                         a data request, a data packet or report, a memory
//                         write, a Sunplus progress step
//   of=L                  only the device labelled L (of=*: any device)
//   after=T               the action runs T ms after the moment
//   A trigger fires once. With no delay its action runs before the device
//   answers the request that fired it.
//
// --- events and answers ----------------------------------------------------
//
//   unplug device=L (at=T | when=W [of=L2] [after=T]) [back-after=T]
//     The device labelled L leaves the bus in whatever mode it is, as when
//     its cable is pulled (an arrival it was about to make does not happen);
//     with back-after it is plugged in again T ms later. Its trigger watches
//     L itself unless of= says otherwise.
//   open-file path=P           the next open-file dialog chooses P
//   message-box answer=ok|cancel|yes|no   the next message box is answered so
//   program-folder path=P      the program runs from folder P: its loader
//                              images ("bootloader.img", the NXP flash loader)
//                              are looked up there
#pragma once

#include "sim_world.h"

#include <string>
#include <vector>

namespace sim {

struct ScenarioError {
    size_t line = 0;         // counted from 1
    std::wstring statement;  // the line as written
    std::wstring message;
};

// Builds the world a scenario text describes. Every line is checked first;
// with any error nothing is built and the errors come back.
CORVANE_SIM_API std::vector<ScenarioError> LoadScenario(const std::wstring& text);
// "line 7: unknown statement "plug": plug everything"
CORVANE_SIM_API std::wstring ErrorText(const ScenarioError& error);
// Loads the file that CORVANE_SIM_SCENARIO names, if any. A file that cannot
// be read or has errors ends the process with exit code 3 after the errors
// went to standard error, the debugger output and the debug log.
void LoadScenarioFromEnvironment();

}  // namespace sim
