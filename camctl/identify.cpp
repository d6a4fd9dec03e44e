// Identification exports: the ID tables and the predicates the updater applies
// to its device list, and the model tests on device paths.
#include "identify.h"

#include <iterator>

#include "KivoFWSW.h"
#include "cam_log.h"

wchar_t DFUDeviceVIDTable[kDfuVidCount][kIdSlotCap] = {L"4A7E", L"0614", L"04B4"};

wchar_t DFUDevicePIDTable[kDfuPidCount][kIdSlotCap] = {
    L"D050", L"C150", L"C110", L"C111", L"C080", L"D020", L"D051", L"C151", L"C112", L"C034", L"D150",
    L"D052", L"CF34", L"C152", L"D010", L"C113", L"C153", L"D151", L"C035", L"C1D0", L"C140", L"C114",
    L"C130", L"C05B", L"D110", L"040A", L"C154", L"C0D0", L"D201", L"D202", L"C131", L"C081", L"DF00",
    L"C030", L"C1D1", L"00F3", L"DF01", L"C120", L"0035", L"C132", L"C155",
};

wchar_t RestrictedCameraPIDTable[kRestrictedPidCount][kIdSlotCap] = {L"00C3", L"C05A", L"C051"};

namespace {

struct IdPair {
    const wchar_t* vid;
    const wchar_t* pid;
};

// Cuts VID and PID out of s (upper-cased in place) and tells whether they
// form one of the pairs. Fields start empty, so a string without a marker
// matches nothing.
bool NamesOneOf(wchar_t* s, const IdPair* pairs, std::size_t count) {
    if (s == nullptr) return false;
    wchar_t vid[kIdFieldCap] = {};
    wchar_t pid[kIdFieldCap] = {};
    IdCutVidPidUpper(s, kIdScanLimit, vid, kIdFieldCap, pid, kIdFieldCap);
    for (std::size_t i = 0; i < count; ++i) {
        if (IdEqualsText(vid, kIdFieldCap, pairs[i].vid) && IdEqualsText(pid, kIdFieldCap, pairs[i].pid)) return true;
    }
    return false;
}

// The three model tests share their diagnostics.
int ModelPredicate(wchar_t* path, const IdPair* pairs, std::size_t count) {
    CamLogLine(L"IsTessaDevice ++\r\n");
    if (NamesOneOf(path, pairs, count)) return 1;
    CamLogLine(L"IsTessaDevice --\r\n");
    return 0;
}

constexpr IdPair kTessa[] = {{L"4A7E", L"C123"}, {L"4A7E", L"C129"}};
constexpr IdPair kKivoR7[] = {{L"4A7E", L"C05C"}};
constexpr IdPair kKivoV9[] = {{L"4A7E", L"C181"}, {L"1BCF", L"0B12"}};
constexpr IdPair kStereo[] = {{L"4A7E", L"C114"}};

}  // namespace

int IsStereoCamera(wchar_t* s) { return NamesOneOf(s, kStereo, std::size(kStereo)) ? 1 : 0; }

extern "C" {

void GetVidPid(wchar_t* s, wchar_t* vid, wchar_t* pid) {
    IdCutVidPidUpper(s, kIdScanLimit, vid, kIdFieldCap, pid, kIdFieldCap);
}

int IsDFUDeviceVID(wchar_t* vid) {
    if (IdTableFind(vid, kIdScanLimit, DFUDeviceVIDTable, kDfuVidCount) >= 0) {
        CamLogLine(L" IsDFUDeviceVID sucess...\r\n");
        return 1;
    }
    CamLogLine(L"IsDFUDeviceVID Failed --\r\n");
    return 0;
}

int IsDFUDevicePID(wchar_t* pid) {
    if (IdTableFind(pid, kIdScanLimit, DFUDevicePIDTable, kDfuPidCount) >= 0) {
        CamLogLine(L" MatchPidForVideoDevice sucess...\r\n");
        return 1;
    }
    CamLogLine(L"MacthPidForVideoDevice --\r\n");
    return 0;
}

int IsRestrictedCameraPID(wchar_t* pid) {
    if (IdTableFind(pid, kIdScanLimit, RestrictedCameraPIDTable, kRestrictedPidCount) >= 0) {
        CamLogLine(L" IsRestricatedCameraPID sucess...\r\n");
        return 1;
    }
    CamLogLine(L"IsRestricatedCameraPID --\r\n");
    return 0;
}

int IsTessaDeviceAvail(wchar_t* path) { return ModelPredicate(path, kTessa, std::size(kTessa)); }

int IsKivoR7DeviceAvail(wchar_t* path) { return ModelPredicate(path, kKivoR7, std::size(kKivoR7)); }

int IsKivoV9_DeviceAvail(wchar_t* path) { return ModelPredicate(path, kKivoV9, std::size(kKivoV9)); }

}  // extern "C"
