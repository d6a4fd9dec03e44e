#include "scenario_file.h"

#include "camera_plug.h"
#include "com_video_devices.h"
#include "fx3_bootloader.h"
#include "nxp_flashloader.h"
#include "nxp_rom.h"
#include "sim_internal.h"
#include "sunplus_chip.h"
#include "update_cycle.h"

#include <algorithm>
#include <cwctype>
#include <functional>
#include <memory>
#include <sstream>

namespace sim {

namespace {

// ---------------------------------------------------------------- parsing helpers

struct Bad {
    std::wstring message;
};

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// %NAME% is the environment variable NAME; %% is a percent sign.
std::wstring Expand(const std::wstring& value) {
    std::wstring out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != L'%') {
            out += value[i];
            continue;
        }
        const size_t end = value.find(L'%', i + 1);
        if (end == std::wstring::npos) throw Bad{L"an unclosed %NAME% in " + Quoted(value)};
        const std::wstring name = value.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out += L'%';
        } else {
            wchar_t buf[2048];
            const DWORD n = ::GetEnvironmentVariableW(name.c_str(), buf, 2048);
            if (n == 0 || n >= 2048) throw Bad{L"the environment variable " + name + L" is not set"};
            out += buf;
        }
        i = end;
    }
    return out;
}

unsigned long long Number(const std::wstring& key, const std::wstring& text, unsigned long long min,
                          unsigned long long max) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    if (digits.empty()) throw Bad{key + L": " + Quoted(text) + L" is not a number"};
    for (wchar_t c : digits)
        if (!(hex ? std::iswxdigit(c) : std::iswdigit(c))) throw Bad{key + L": " + Quoted(text) + L" is not a number"};
    if (digits.size() > 12) throw Bad{key + L": " + text + L" is out of range"};
    const unsigned long long v = std::wcstoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (v < min || v > max)
        throw Bad{key + L": " + text + L" is out of range (" + std::to_wstring(min) + L" to " + std::to_wstring(max) + L")"};
    return v;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t by) {
    std::vector<std::wstring> parts;
    std::wstringstream in(text);
    std::wstring part;
    while (std::getline(in, part, by)) parts.push_back(part);
    if (!text.empty() && text.back() == by) parts.push_back(L"");
    return parts;
}

std::vector<unsigned long long> Numbers(const std::wstring& key, const std::wstring& text, wchar_t by,
                                        const std::vector<unsigned long long>& maxima) {
    const std::vector<std::wstring> parts = Split(text, by);
    if (parts.size() != maxima.size())
        throw Bad{key + L": " + Quoted(text) + L" needs " + std::to_wstring(maxima.size()) + L" numbers"};
    std::vector<unsigned long long> out;
    for (size_t i = 0; i < parts.size(); ++i) out.push_back(Number(key, parts[i], 0, maxima[i]));
    return out;
}

// The key=value tokens of one statement, each to be taken once.
class Fields {
public:
    explicit Fields(const std::vector<std::pair<std::wstring, std::wstring>>& tokens) : tokens_(tokens) {
        used_.assign(tokens_.size(), false);
        for (size_t i = 0; i < tokens_.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (tokens_[i].first == tokens_[j].first && tokens_[i].first != L"fault")
                    throw Bad{L"the key " + tokens_[i].first + L" is given twice"};
    }
    bool Has(const wchar_t* key) const {
        for (const auto& t : tokens_)
            if (t.first == key) return true;
        return false;
    }
    // The value of key, expanded; fallback when it is not there.
    std::wstring Take(const wchar_t* key, const std::wstring& fallback = L"") {
        for (size_t i = 0; i < tokens_.size(); ++i) {
            if (tokens_[i].first != key || used_[i]) continue;
            used_[i] = true;
            return Expand(tokens_[i].second);
        }
        return fallback;
    }
    std::wstring Need(const wchar_t* key) {
        if (!Has(key)) throw Bad{std::wstring(L"needs ") + key + L"="};
        return Take(key);
    }
    std::vector<std::wstring> TakeAll(const wchar_t* key) {
        std::vector<std::wstring> out;
        while (Has(key) && Unused(key)) out.push_back(Take(key));
        return out;
    }
    unsigned long long TakeNumber(const wchar_t* key, unsigned long long fallback, unsigned long long min,
                                  unsigned long long max) {
        if (!Has(key)) return fallback;
        return Number(key, Take(key), min, max);
    }
    // Every key must have been taken.
    void Done() const {
        for (size_t i = 0; i < tokens_.size(); ++i)
            if (!used_[i]) throw Bad{L"unknown key " + Quoted(tokens_[i].first)};
    }

private:
    bool Unused(const wchar_t* key) const {
        for (size_t i = 0; i < tokens_.size(); ++i)
            if (tokens_[i].first == key && !used_[i]) return true;
        return false;
    }
    std::vector<std::pair<std::wstring, std::wstring>> tokens_;
    std::vector<bool> used_;
};

// ---------------------------------------------------------------- devices

enum Stage : unsigned {
    kHidCam = 1,   // HID camera (hid, stereo)
    kCx3Cam = 2,   // CX3 camera
    kXuCam = 4,    // extension-unit camera (tessa, r7, v9, sunplus)
    kDfu = 8,      // update-mode device DF00 / DF01
    kFx3 = 16,     // FX3 boot loader
    kRom = 32,     // NXP ROM
    kLoader = 64,  // NXP flash loader DF02
    kChip = 128,   // Sunplus chip
};

struct Knobs {
    HidCameraKnobs hid;
    Cx3CameraKnobs cx3;
    XuCameraKnobs xu;
    DfuKnobs dfu;
    Fx3BootLoaderKnobs fx3;
    NxpRomKnobs rom;
    NxpFlashLoaderKnobs loader;
    SunplusKnobs chip;
};

struct Device {
    std::wstring start;    // where the trip starts: camera, df00, df01, df02, fx3, nxp-rom
    std::wstring camera;   // the camera of the trip (hid, stereo, cx3, tessa, r7, v9, sunplus), or empty
    std::wstring becomes;  // how a trip that starts in update mode ends: update-mode, none, or the camera
    unsigned stages = 0;
    CameraPlace place;
    std::wstring label;
    int runs = 2;
    DWORD replugMs = 0;
    Knobs k;
    bool deferred = false;
    Trigger trigger;
};

bool IsCameraKind(const std::wstring& k) {
    return k == L"hid" || k == L"stereo" || k == L"cx3" || k == L"tessa" || k == L"r7" || k == L"v9" || k == L"sunplus";
}

CameraKind CameraKindOf(const std::wstring& k) {
    if (k == L"stereo") return CameraKind::Stereo;
    if (k == L"cx3") return CameraKind::Cx3;
    if (k == L"tessa") return CameraKind::Tessa;
    if (k == L"r7") return CameraKind::KivoR7;
    if (k == L"v9") return CameraKind::KivoV9;
    if (k == L"sunplus") return CameraKind::Sunplus;
    return CameraKind::Hid;
}

unsigned CameraStages(const std::wstring& camera) {
    if (camera == L"hid" || camera == L"stereo") return kHidCam | kDfu;
    if (camera == L"cx3") return kCx3Cam | kFx3 | kDfu;
    if (camera == L"tessa") return kXuCam | kDfu;
    if (camera == L"r7") return kXuCam | kRom | kLoader;
    if (camera == L"v9" || camera == L"sunplus") return kXuCam | kChip;
    return 0;
}

std::wstring WhatItIs(const Device& d) {
    if (d.start == L"camera") return L"a " + d.camera + L" camera";
    if (d.start == L"fx3" || d.start == L"nxp-rom") return L"the " + d.start + L" boot loader";
    return L"the update-mode device " + detail::AsciiUpper(d.start);
}

// ---------------------------------------------------------------- faults

enum class Arg { None, Number, Count, Block };

struct FaultDef {
    const wchar_t* name;
    unsigned stage;
    Arg arg;
    unsigned long long max;
    std::function<void(Knobs&, long long)> apply;
};

const std::vector<FaultDef>& Faults() {
    static const std::vector<FaultDef> faults = {
        // HID camera
        {L"no-reply", kHidCam, Arg::None, 0, [](Knobs& k, long long) { k.hid.noReply = true; }},
        {L"reply-code", kHidCam, Arg::Number, 255, [](Knobs& k, long long v) { k.hid.replyCode = static_cast<int>(v); }},
        {L"open-error", kHidCam, Arg::Number, 0xFFFF, [](Knobs& k, long long v) { k.hid.openError = static_cast<DWORD>(v); }},
        {L"leave-at-command", kHidCam, Arg::Count, 1000000, [](Knobs& k, long long v) { k.hid.leaveBusAtCommand = static_cast<int>(v); }},
        {L"no-update-mode", kHidCam, Arg::None, 0, [](Knobs& k, long long) { k.hid.entersUpdateMode = false; }},
        // CX3 camera
        {L"erase-polls", kCx3Cam, Arg::Number, 1000000, [](Knobs& k, long long v) { k.cx3.erasePolls = static_cast<int>(v); }},
        {L"stays-busy", kCx3Cam, Arg::None, 0, [](Knobs& k, long long) { k.cx3.staysBusy = true; }},
        {L"busy-at-start", kCx3Cam, Arg::Number, 1000000, [](Knobs& k, long long v) { k.cx3.busyAtStart = static_cast<int>(v); }},
        {L"reset-refusals", kCx3Cam, Arg::Number, 1000000, [](Knobs& k, long long v) { k.cx3.resetRefusals = static_cast<int>(v); }},
        {L"length-byte", kCx3Cam, Arg::Number, 255, [](Knobs& k, long long v) { k.cx3.lengthByte = static_cast<int>(v); }},
        {L"input-report-error", kCx3Cam, Arg::Number, 0xFFFF, [](Knobs& k, long long v) { k.cx3.inputReportError = static_cast<DWORD>(v); }},
        {L"open-error", kCx3Cam, Arg::Number, 0xFFFF, [](Knobs& k, long long v) { k.cx3.openError = static_cast<DWORD>(v); }},
        // extension-unit cameras
        {L"no-reply", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.noReply = true; }},
        {L"fail-selector", kXuCam, Arg::Number, 255, [](Knobs& k, long long v) { k.xu.failSelector = static_cast<int>(v); }},
        {L"fail-eeprom-address", kXuCam, Arg::Number, 0xFFFF, [](Knobs& k, long long v) { k.xu.failEepromAddress = static_cast<int>(v); }},
        {L"extension-units", kXuCam, Arg::Number, 8, [](Knobs& k, long long v) { k.xu.extensionUnits = static_cast<int>(v); }},
        {L"units-first", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.unitsFirst = true; }},
        {L"no-device-path", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.noDevicePath = true; }},
        {L"no-friendly-name", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.noFriendlyName = true; }},
        {L"storage-bind-fails", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.storageBindFails = true; }},
        {L"filter-bind-fails", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.filterBindFails = true; }},
        {L"no-topology-info", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.noTopologyInfo = true; }},
        {L"node-instance-fails", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.nodeInstanceFails = true; }},
        {L"node-without-control", kXuCam, Arg::None, 0, [](Knobs& k, long long) { k.xu.faults.nodeWithoutControl = true; }},
        // update-mode device
        {L"start-state", kDfu, Arg::Number, 255, [](Knobs& k, long long v) { k.dfu.startState = static_cast<uint8_t>(v); }},
        {L"busy-polls", kDfu, Arg::Number, 1000000, [](Knobs& k, long long v) { k.dfu.busyPollsPerBlock = static_cast<int>(v); }},
        {L"erasing-polls", kDfu, Arg::Number, 1000000, [](Knobs& k, long long v) { k.dfu.failedStatusAfterFirstBlock = static_cast<int>(v); }},
        {L"stall-at-block", kDfu, Arg::Block, 100000, [](Knobs& k, long long v) { k.dfu.failBlock = static_cast<int>(v); }},
        {L"error-state-at-block", kDfu, Arg::Block, 100000, [](Knobs& k, long long v) { k.dfu.errorStateAtBlock = static_cast<int>(v); }},
        {L"short-count-at-block", kDfu, Arg::Block, 100000, [](Knobs& k, long long v) { k.dfu.shortCountAtBlock = static_cast<int>(v); }},
        {L"leave-at-block", kDfu, Arg::Block, 100000, [](Knobs& k, long long v) { k.dfu.leaveBusAtBlock = static_cast<int>(v); }},
        {L"stay-busy", kDfu, Arg::None, 0, [](Knobs& k, long long) { k.dfu.stayBusy = true; }},
        {L"status-stalls", kDfu, Arg::None, 0, [](Knobs& k, long long) { k.dfu.statusStalls = true; }},
        {L"status-short", kDfu, Arg::None, 0, [](Knobs& k, long long) { k.dfu.statusShort = true; }},
        {L"erase-fails", kDfu, Arg::None, 0, [](Knobs& k, long long) { k.dfu.eraseFails = true; }},
        {L"ignores-state-change", kDfu, Arg::None, 0, [](Knobs& k, long long) { k.dfu.ignoresStateChange = true; }},
        {L"mcu-verify-status", kDfu, Arg::Number, 255, [](Knobs& k, long long v) { k.dfu.mcuVerifyStatus = static_cast<uint8_t>(v); }},
        {L"mcu-verify-state", kDfu, Arg::Number, 255, [](Knobs& k, long long v) { k.dfu.mcuVerifyState = static_cast<uint8_t>(v); }},
        {L"fpga-verify-status", kDfu, Arg::Number, 255, [](Knobs& k, long long v) { k.dfu.fpgaVerifyStatus = static_cast<uint8_t>(v); }},
        {L"fpga-verify-state", kDfu, Arg::Number, 255, [](Knobs& k, long long v) { k.dfu.fpgaVerifyState = static_cast<uint8_t>(v); }},
        // FX3 boot loader
        {L"fx3-reject-request", kFx3, Arg::Count, 1000000, [](Knobs& k, long long v) { k.fx3.rejectRequest = static_cast<int>(v); }},
        {L"fx3-leave-at-request", kFx3, Arg::Count, 1000000, [](Knobs& k, long long v) { k.fx3.leaveBusAtRequest = static_cast<int>(v); }},
        {L"fx3-stall-at-request", kFx3, Arg::Count, 1000000, [](Knobs& k, long long v) { k.fx3.stallAtRequest = static_cast<int>(v); }},
        // NXP ROM
        {L"rom-reject-report", kRom, Arg::Count, 1000000, [](Knobs& k, long long v) { k.rom.rejectReport = static_cast<int>(v); }},
        {L"rom-leave-at-report", kRom, Arg::Count, 1000000, [](Knobs& k, long long v) { k.rom.leaveBusAtReport = static_cast<int>(v); }},
        {L"rom-no-reply", kRom, Arg::None, 0, [](Knobs& k, long long) { k.rom.noReply = true; }},
        {L"rom-hab-closed", kRom, Arg::None, 0, [](Knobs& k, long long) { k.rom.habClosed = true; }},
        // NXP flash loader
        {L"loader-reject-report", kLoader, Arg::Count, 1000000, [](Knobs& k, long long v) { k.loader.rejectReport = static_cast<int>(v); }},
        {L"loader-leave-at-report", kLoader, Arg::Count, 1000000, [](Knobs& k, long long v) { k.loader.leaveBusAtReport = static_cast<int>(v); }},
        {L"loader-no-reply", kLoader, Arg::None, 0, [](Knobs& k, long long) { k.loader.noReply = true; }},
        {L"loader-initial-flash", kLoader, Arg::Number, 255, [](Knobs& k, long long v) { k.loader.initialFlash = static_cast<uint8_t>(v); }},
        // Sunplus chip
        {L"not-found", kChip, Arg::None, 0, [](Knobs& k, long long) { k.chip.notFound = true; }},
        {L"flash-type-fails", kChip, Arg::None, 0, [](Knobs& k, long long) { k.chip.flashTypeFails = true; }},
        {L"fail-at-percent", kChip, Arg::Number, 100, [](Knobs& k, long long v) { k.chip.failAtPercent = static_cast<int>(v); }},
        {L"hold-at-percent", kChip, Arg::Number, 100, [](Knobs& k, long long v) { k.chip.holdAtPercent = static_cast<int>(v); }},
    };
    return faults;
}

void ApplyFault(Device& d, const std::wstring& text, int statementPart, int* blockPart) {
    const std::vector<std::wstring> parts = Split(text, L':');
    const std::wstring name = parts[0];
    bool known = false, applied = false;
    for (const FaultDef& f : Faults()) {
        if (name != f.name) continue;
        known = true;
        if (!(d.stages & f.stage)) continue;
        const std::wstring key = L"fault " + name;
        long long value = 0;
        if (f.arg == Arg::None) {
            if (parts.size() != 1) throw Bad{key + L" takes no value"};
        } else if (f.arg == Arg::Block) {
            if (parts.size() != 2 && parts.size() != 3) throw Bad{key + L" needs a block: " + name + L":N or " + name + L":N:P"};
            value = static_cast<long long>(Number(key, parts[1], 1, f.max)) - 1;
            const int part = parts.size() == 3 ? static_cast<int>(Number(key, parts[2], 1, 2)) : statementPart;
            if (*blockPart >= 0 && *blockPart != part)
                throw Bad{L"the block faults of one device hit one image part"};
            *blockPart = part;
        } else {
            if (parts.size() != 2) throw Bad{key + L" needs a value: " + name + L":N"};
            value = static_cast<long long>(Number(key, parts[1], f.arg == Arg::Count ? 1 : 0, f.max));
            if (f.arg == Arg::Count) --value;
        }
        f.apply(d.k, value);
        applied = true;
    }
    if (!known) throw Bad{L"unknown fault " + Quoted(name)};
    if (!applied) throw Bad{L"the fault " + Quoted(name) + L" does not apply to " + WhatItIs(d)};
}

// ---------------------------------------------------------------- triggers

// at=T, or when=W with of= and after=; a device statement's trigger watches
// any device unless of= says, an unplug's the unplugged device.
bool TakeTrigger(Fields& f, const std::wstring& watched, int statementPart, Trigger* t) {
    const bool at = f.Has(L"at"), when = f.Has(L"when");
    if (at && when) throw Bad{L"at= and when= together"};
    if (!at && !when) {
        if (f.Has(L"of") || f.Has(L"after")) throw Bad{L"of= and after= go with when="};
        return false;
    }
    *t = Trigger();
    if (at) {
        if (f.Has(L"of") || f.Has(L"after")) throw Bad{L"of= and after= go with when="};
        t->kind = TriggerKind::At;
        t->atMs = f.TakeNumber(L"at", 0, 0, 0xFFFFFFFEull);
        return true;
    }
    const std::wstring w = f.Take(L"when");
    const std::vector<std::wstring> parts = Split(w, L':');
    if (w == L"handshake") {
        t->kind = TriggerKind::Handshake;
    } else if (w == L"update-start") {
        t->kind = TriggerKind::UpdateStart;
    } else if (parts[0] == L"block" && (parts.size() == 2 || parts.size() == 3)) {
        t->kind = TriggerKind::Block;
        t->block = static_cast<int>(Number(L"when", parts[1], 1, 1000000));
        t->part = parts.size() == 3 ? static_cast<int>(Number(L"when", parts[2], 1, 2)) : statementPart;
    } else {
        throw Bad{L"when=" + w + L": a trigger is handshake, update-start or block:N"};
    }
    t->device = watched;
    if (f.Has(L"of")) {
        const std::wstring of = f.Take(L"of");
        if (of.empty()) throw Bad{L"of= needs a label (of=* for any device)"};
        t->device = of == L"*" ? L"" : of;
    }
    t->afterMs = static_cast<DWORD>(f.TakeNumber(L"after", 0, 0, 0xFFFFFFFEull));
    return true;
}

// ---------------------------------------------------------------- device statements

void TakeVersion(Fields& f, Device& d) {
    if (!f.Has(L"version")) return;
    if (d.camera.empty()) throw Bad{L"version= needs a camera"};
    const std::wstring v = f.Take(L"version");
    if (d.camera == L"hid" || d.camera == L"stereo") {
        const auto n = Numbers(L"version", v, L'.', {255, 255, 65535, 65535});
        const uint8_t bytes[6] = {static_cast<uint8_t>(n[0]),      static_cast<uint8_t>(n[1]),
                                  static_cast<uint8_t>(n[2] >> 8), static_cast<uint8_t>(n[2]),
                                  static_cast<uint8_t>(n[3] >> 8), static_cast<uint8_t>(n[3])};
        std::copy(bytes, bytes + 6, d.k.hid.version);
    } else if (d.camera == L"cx3") {
        const auto n = Numbers(L"version", v, L'.', {255, 255, 12, 31, 99});
        for (int i = 0; i < 5; ++i) d.k.cx3.cx3Version[i] = static_cast<uint8_t>(n[i]);
    } else if (d.camera == L"tessa" || d.camera == L"r7") {
        const auto n = Numbers(L"version", v, L'.', {255, 255, 255, 255});
        for (int i = 0; i < 4; ++i) (d.camera == L"tessa" ? d.k.xu.tessaVersion : d.k.xu.r7Version)[i] = static_cast<uint8_t>(n[i]);
    } else {
        const auto n = Numbers(L"version", v, L'.', {255, 255, 65535});
        d.k.xu.v9Version[0] = static_cast<uint8_t>(n[0]);
        d.k.xu.v9Version[1] = static_cast<uint8_t>(n[1]);
        d.k.xu.v9Version[2] = static_cast<uint8_t>(n[2] >> 8);
        d.k.xu.v9Version[3] = static_cast<uint8_t>(n[2]);
    }
}

void Requires(const Fields& f, const wchar_t* key, bool allowed, const Device& d) {
    if (f.Has(key) && !allowed) throw Bad{std::wstring(key) + L"= does not apply to " + WhatItIs(d)};
}

void TakeTiming(Fields& f, Device& d) {
    const unsigned long long kMax = 0xFFFFFFFEull;
    if (f.Has(L"leave-ms")) {
        const DWORD v = static_cast<DWORD>(f.TakeNumber(L"leave-ms", 0, 0, kMax));
        d.k.hid.leaveMs = d.k.cx3.leaveMs = d.k.xu.leaveMs = d.k.fx3.leaveMs = d.k.rom.leaveMs = d.k.loader.leaveMs = v;
        d.k.dfu.restartDelayMs = v;
    }
    if (f.Has(L"arrive-ms")) {
        const DWORD v = static_cast<DWORD>(f.TakeNumber(L"arrive-ms", 0, 0, kMax));
        d.k.hid.arriveMs = d.k.cx3.arriveMs = d.k.xu.arriveMs = d.k.fx3.arriveMs = d.k.rom.arriveMs = d.k.loader.arriveMs = v;
        d.k.dfu.reappearDelayMs = v;
    }
    if (f.Has(L"reply-ms")) {
        const DWORD v = static_cast<DWORD>(f.TakeNumber(L"reply-ms", 0, 0, kMax));
        d.k.hid.replyDelayMs = d.k.dfu.replyDelayMs = d.k.fx3.replyDelayMs = d.k.rom.replyDelayMs = d.k.loader.replyDelayMs = v;
    }
    if (f.Has(L"timeout-ms")) {
        const DWORD v = static_cast<DWORD>(f.TakeNumber(L"timeout-ms", 0, 0, kMax));
        d.k.dfu.unansweredMs = d.k.xu.timeoutMs = v;
    }
}

Device ParseDevice(const std::wstring& verb, Fields& f) {
    Device d;
    if (verb == L"camera") {
        d.start = L"camera";
        d.camera = f.Need(L"kind");
        if (!IsCameraKind(d.camera))
            throw Bad{L"unknown camera kind " + Quoted(d.camera) + L" (hid, stereo, cx3, tessa, r7, v9, sunplus)"};
        d.stages = CameraStages(d.camera);
        if (d.camera == L"cx3") d.runs = 1;
    } else if (verb == L"update-mode-device") {
        const std::wstring pid = Lower(f.Need(L"pid"));
        if (pid != L"df00" && pid != L"df01" && pid != L"df02")
            throw Bad{L"pid=" + pid + L": an update-mode device is DF00, DF01 or DF02"};
        d.start = pid;
        d.becomes = f.Take(L"becomes", pid == L"df02" ? L"none" : L"update-mode");
        const bool ok = d.becomes == L"none" ||
                        (pid == L"df00" && (d.becomes == L"update-mode" || d.becomes == L"hid" || d.becomes == L"stereo")) ||
                        (pid == L"df01" && (d.becomes == L"update-mode" || d.becomes == L"tessa")) ||
                        (pid == L"df02" && d.becomes == L"r7");
        if (!ok) throw Bad{L"becomes=" + d.becomes + L" does not apply to " + detail::AsciiUpper(pid)};
        if (IsCameraKind(d.becomes)) d.camera = d.becomes;
        d.stages = pid == L"df02" ? kLoader : kDfu;
        if (d.camera == L"hid" || d.camera == L"stereo") d.stages |= kHidCam;
        if (d.camera == L"tessa" || d.camera == L"r7") d.stages |= kXuCam;
    } else {
        const std::wstring kind = f.Need(L"kind");
        if (kind != L"fx3" && kind != L"nxp-rom") throw Bad{L"unknown boot loader " + Quoted(kind) + L" (fx3, nxp-rom)"};
        d.start = kind;
        d.becomes = f.Take(L"becomes", kind == L"fx3" ? L"cx3" : L"r7");
        const bool ok = d.becomes == L"none" || (kind == L"fx3" && (d.becomes == L"cx3" || d.becomes == L"update-mode")) ||
                        (kind == L"nxp-rom" && d.becomes == L"r7");
        if (!ok) throw Bad{L"becomes=" + d.becomes + L" does not apply to the " + kind + L" boot loader"};
        if (IsCameraKind(d.becomes)) d.camera = d.becomes;
        d.stages = kind == L"fx3" ? kFx3 | kDfu : kRom | kLoader;
        if (d.camera == L"cx3") d.stages |= kCx3Cam;
        if (d.camera == L"r7") d.stages |= kXuCam;
        d.runs = 1;
    }
    d.place.serial = f.Take(L"serial");
    d.label = f.Take(L"label", d.place.serial);
    d.place.ports.clear();
    for (const std::wstring& p : Split(f.Take(L"ports", L"1"), L','))
        d.place.ports.push_back(static_cast<int>(Number(L"ports", p, 1, 15)));
    if (d.place.ports.size() > 6) throw Bad{L"ports: at most a root port and five hubs"};
    Requires(f, L"name", !d.camera.empty(), d);
    d.place.friendlyName = f.Take(L"name");
    Requires(f, L"runs", (d.stages & kDfu) != 0, d);
    d.runs = static_cast<int>(f.TakeNumber(L"runs", static_cast<unsigned long long>(d.runs), 1, 100));
    TakeVersion(f, d);
    Requires(f, L"unique-id", (d.stages & kHidCam) != 0, d);
    if (f.Has(L"unique-id")) {
        const std::wstring id = f.Take(L"unique-id");
        if (id.size() != 8) throw Bad{L"unique-id: 8 hex digits"};
        const unsigned long long v = Number(L"unique-id", L"0x" + id, 0, 0xFFFFFFFFull);
        for (int i = 0; i < 4; ++i) d.k.hid.uniqueId[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
    for (const wchar_t* key : {L"isp-version", L"isp-date", L"isp-time", L"report-length"})
        Requires(f, key, (d.stages & kCx3Cam) != 0, d);
    if (f.Has(L"isp-version")) {
        const auto n = Numbers(L"isp-version", f.Take(L"isp-version"), L'.', {255, 255});
        d.k.cx3.ispVersion[0] = static_cast<uint8_t>(n[0]);
        d.k.cx3.ispVersion[1] = static_cast<uint8_t>(n[1]);
    }
    for (const wchar_t* key : {L"isp-date", L"isp-time"}) {
        if (!f.Has(key)) continue;
        const std::wstring t = f.Take(key);
        if (t.size() > 7) throw Bad{std::wstring(key) + L": at most 7 characters"};
        (std::wstring(key) == L"isp-date" ? d.k.cx3.ispBuildDate : d.k.cx3.ispBuildTime) = std::string(t.begin(), t.end());
    }
    d.k.cx3.reportLength = static_cast<USHORT>(f.TakeNumber(L"report-length", d.k.cx3.reportLength, 8, 4096));
    for (const wchar_t* key : {L"flash-type", L"percent-step", L"step-ms", L"hold-ms"})
        Requires(f, key, (d.stages & kChip) != 0, d);
    d.k.chip.flashType = static_cast<uint8_t>(f.TakeNumber(L"flash-type", d.k.chip.flashType, 0, 255));
    d.k.chip.percentStep = static_cast<int>(f.TakeNumber(L"percent-step", static_cast<unsigned long long>(d.k.chip.percentStep), 1, 100));
    d.k.chip.msPerStep = static_cast<DWORD>(f.TakeNumber(L"step-ms", d.k.chip.msPerStep, 0, 0xFFFFFFFEull));
    d.k.chip.holdMs = static_cast<DWORD>(f.TakeNumber(L"hold-ms", d.k.chip.holdMs, 0, 0xFFFFFFFEull));
    Requires(f, L"replug-ms", d.camera == L"tessa" && (d.stages & kDfu), d);
    d.replugMs = static_cast<DWORD>(f.TakeNumber(L"replug-ms", 0, 0, 0xFFFFFFFEull));
    TakeTiming(f, d);
    const int part = static_cast<int>(f.TakeNumber(L"part", 0, 1, 2));
    int blockPart = -1;
    for (const std::wstring& fault : f.TakeAll(L"fault")) ApplyFault(d, fault, part, &blockPart);
    if (blockPart > 0) d.k.dfu.blockFaultPart = blockPart;
    d.deferred = TakeTrigger(f, L"", part, &d.trigger);
    return d;
}

// ---------------------------------------------------------------- trips

// Longer than any run of the program: "until someone does something".
constexpr DWORD kForEver = 0x7FFFFFFF;

// One physical device of a world file and every model it is served by on its
// way through update mode and back. Kept alive with the world.
class Trip : public std::enable_shared_from_this<Trip> {
public:
    explicit Trip(Device d) : d_(std::move(d)) {}

    void Plug() {
        UsbDeviceSpec spec;
        std::shared_ptr<DeviceModel> model;
        if (d_.start == L"camera") {
            ServeVideoDevices();
            spec = CameraSpec();
            model = Camera(d_.k);
        } else if (d_.start == L"df00" || d_.start == L"df01") {
            spec = UpdateSpec(d_.start == L"df00" ? 0xDF00 : 0xDF01);
            model = UpdateModeDevice(d_.start == L"df00" ? 0xDF00 : 0xDF01);
        } else if (d_.start == L"df02") {
            spec = NxpFlashLoaderSpec(L"", d_.place.ports);
            model = FlashLoader();
        } else if (d_.start == L"fx3") {
            spec = Fx3Spec();
            model = Fx3();
        } else {
            spec = RomSpec();
            model = Rom();
        }
        if (!d_.camera.empty()) ServeVideoDevices();
        const DeviceId device = sim::Plug(spec, model);
        SetLabel(device, d_.label);
        if (d_.stages & kChip) {
            if (auto chip = SunplusChipOf(device)) chip->SetKnobs(d_.k.chip);
        }
    }

private:
    UsbDeviceSpec CameraSpec() const { return CameraSpecOf(CameraKindOf(d_.camera), d_.place, d_.k.cx3.reportLength); }
    UsbDeviceSpec UpdateSpec(USHORT pid) const { return WinUsbSpec(0x4A7E, pid, d_.place.serial, d_.place.ports); }
    UsbDeviceSpec Fx3Spec() const {
        UsbDeviceSpec s = WinUsbSpec(0x04B4, 0x00F3, L"", d_.place.ports, L"Cypress FX3 USB BootLoader Device");
        s.service = L"CYUSB3";
        return s;
    }
    UsbDeviceSpec RomSpec() const { return HidDeviceSpec(0x1FC9, 0x0135, L"", d_.place.ports, NxpRomCaps()); }

    std::weak_ptr<Trip> Self() { return weak_from_this(); }

    // The camera in normal mode with these knobs, ready for its next update.
    std::shared_ptr<DeviceModel> Camera(const Knobs& k) {
        if (d_.camera == L"hid" || d_.camera == L"stereo") {
            auto m = std::make_shared<HidCameraModel>(k.hid);
            const USHORT pid = 0xDF00;
            m->SetUpdateModePlan(UpdateSpec(pid), Cycle(UpdateSpec(pid), CameraSpec(), FinalCamera(k)));
            return m;
        }
        if (d_.camera == L"cx3") {
            auto m = std::make_shared<Cx3CameraModel>(k.cx3);
            m->SetResetPlan(Fx3Spec(), Fx3());
            return m;
        }
        if (d_.camera == L"tessa") {
            auto m = std::make_shared<XuCameraModel>(XuCameraKind::Tessa, k.xu);
            const USHORT pid = 0xDF01;
            m->SetUpdateModePlan(UpdateSpec(pid), Cycle(UpdateSpec(pid), CameraSpec(),
                                                        d_.replugMs ? FinalCamera(k) : UpdateCycle::MakeFinal()));
            return m;
        }
        if (d_.camera == L"r7") {
            auto m = std::make_shared<XuCameraModel>(XuCameraKind::KivoR7, k.xu);
            m->SetUpdateModePlan(RomSpec(), Rom());
            return m;
        }
        return std::make_shared<XuCameraModel>(XuCameraKind::KivoV9, k.xu);
    }

    // The camera as an update brings it back: with the version the image
    // carries where its kind reads the version from the image.
    UpdateCycle::MakeFinal FinalCamera(const Knobs& k) {
        auto self = Self();
        const std::wstring camera = d_.camera;
        return [self, k, camera](const DfuFlash& flash) -> std::shared_ptr<DeviceModel> {
            auto trip = self.lock();
            if (!trip) return std::make_shared<DeviceModel>();
            Knobs next = k;
            if (camera == L"hid" || camera == L"stereo") {
                for (size_t i = 0; i < 6 && i < flash.image2.size(); ++i) next.hid.version[i] = flash.image2[i];
            } else if (camera == L"tessa") {
                for (size_t i = 0; i < 4 && i < flash.image2.size(); ++i) next.xu.tessaVersion[i] = flash.image2[i];
            }
            return trip->Camera(next);
        };
    }

    // The update-mode device's appearances for one update.
    std::shared_ptr<DeviceModel> Cycle(const UsbDeviceSpec& updateSpec, const UsbDeviceSpec& finalSpec,
                                       UpdateCycle::MakeFinal makeFinal) {
        auto cycle = std::make_shared<UpdateCycle>();
        cycle->runs = d_.runs;
        cycle->firstKnobs = cycle->laterKnobs = d_.k.dfu;
        if (d_.camera == L"tessa") {
            // After its last download the Tessa stays on the bus in update
            // mode until the operator unplugs it; with replug-ms that is how
            // long it takes them, and they plug it in again at once.
            DfuKnobs& last = d_.runs == 1 ? cycle->firstKnobs : cycle->laterKnobs;
            last.restartDelayMs = d_.replugMs ? d_.replugMs : kForEver;
        }
        auto first = cycle->Start(updateSpec, finalSpec, std::move(makeFinal));
        cycles_.push_back(cycle);
        return first;
    }

    std::shared_ptr<DeviceModel> UpdateModeDevice(USHORT pid) {
        if (d_.becomes == L"update-mode") return std::make_shared<DfuDeviceModel>(std::make_shared<DfuFlash>(), d_.k.dfu);
        if (d_.becomes == L"none") return Cycle(UpdateSpec(pid), UsbDeviceSpec(), UpdateCycle::MakeFinal());
        return Cycle(UpdateSpec(pid), CameraSpec(), FinalCamera(d_.k));
    }

    std::shared_ptr<DeviceModel> Fx3() {
        auto fx3 = std::make_shared<Fx3BootLoaderModel>(d_.k.fx3);
        // The boot image runs as the update-mode device of the camera.
        const UsbDeviceSpec update = UpdateSpec(0xDF00);
        std::shared_ptr<DeviceModel> program;
        if (d_.becomes == L"update-mode") {
            program = std::make_shared<DfuDeviceModel>(std::make_shared<DfuFlash>(), d_.k.dfu);
        } else if (d_.becomes == L"none") {
            program = Cycle(update, UsbDeviceSpec(), UpdateCycle::MakeFinal());
        } else {
            auto self = Self();
            const Knobs k = d_.k;
            program = Cycle(update, CameraSpec(), [self, k](const DfuFlash&) -> std::shared_ptr<DeviceModel> {
                auto trip = self.lock();
                return trip ? trip->Camera(k) : std::make_shared<DeviceModel>();
            });
        }
        fx3->SetStartPlan(update, program);
        return fx3;
    }

    std::shared_ptr<DeviceModel> Rom() {
        auto rom = std::make_shared<NxpRomModel>(d_.k.rom);
        rom->SetJumpPlan(NxpFlashLoaderSpec(L"", d_.place.ports), FlashLoader());
        return rom;
    }

    std::shared_ptr<DeviceModel> FlashLoader() {
        auto loader = std::make_shared<NxpFlashLoaderModel>(d_.k.loader);
        if (d_.camera == L"r7") {
            auto self = Self();
            const Knobs k = d_.k;
            loader->SetRestartPlan(CameraSpec(), [self, k]() -> std::shared_ptr<DeviceModel> {
                auto trip = self.lock();
                return trip ? trip->Camera(k) : std::make_shared<DeviceModel>();
            });
        }
        return loader;
    }

    Device d_;
    std::vector<std::shared_ptr<UpdateCycle>> cycles_;  // their plans refer to themselves weakly
};

std::vector<std::shared_ptr<Trip>>& Trips() {
    static auto* trips = new std::vector<std::shared_ptr<Trip>>();
    return *trips;
}

// ---------------------------------------------------------------- statements

struct Statement {
    enum class Kind { Device, OpenFile, MessageBox, ProgramFolder, Unplug } kind = Kind::Device;
    Device device;
    std::wstring path;
    int answer = 0;
    TimelineEvent event;
};

Statement Parse(const std::wstring& line) {
    std::wstringstream in(line);
    std::wstring verb, token;
    in >> verb;
    static const wchar_t* const kVerbs[] = {L"camera", L"update-mode-device", L"boot-loader", L"open-file",
                                            L"program-folder", L"message-box", L"unplug"};
    if (std::none_of(std::begin(kVerbs), std::end(kVerbs), [&](const wchar_t* v) { return verb == v; }))
        throw Bad{L"unknown statement " + Quoted(verb)};
    std::vector<std::pair<std::wstring, std::wstring>> tokens;
    while (in >> token) {
        const size_t eq = token.find(L'=');
        if (eq == std::wstring::npos || eq == 0) throw Bad{L"expected key=value, found " + Quoted(token)};
        tokens.emplace_back(token.substr(0, eq), token.substr(eq + 1));
    }
    Fields f(tokens);
    Statement s;
    if (verb == L"camera" || verb == L"update-mode-device" || verb == L"boot-loader") {
        s.kind = Statement::Kind::Device;
        s.device = ParseDevice(verb, f);
    } else if (verb == L"open-file") {
        s.kind = Statement::Kind::OpenFile;
        s.path = f.Need(L"path");
        if (s.path.empty()) throw Bad{L"path= is empty"};
    } else if (verb == L"program-folder") {
        s.kind = Statement::Kind::ProgramFolder;
        s.path = f.Need(L"path");
        while (!s.path.empty() && (s.path.back() == L'\\' || s.path.back() == L'/')) s.path.pop_back();
        if (s.path.empty()) throw Bad{L"path= is empty"};
    } else if (verb == L"message-box") {
        s.kind = Statement::Kind::MessageBox;
        const std::wstring a = f.Need(L"answer");
        if (a == L"ok") s.answer = IDOK;
        else if (a == L"cancel") s.answer = IDCANCEL;
        else if (a == L"yes") s.answer = IDYES;
        else if (a == L"no") s.answer = IDNO;
        else throw Bad{L"answer=" + a + L": ok, cancel, yes or no"};
    } else if (verb == L"unplug") {
        s.kind = Statement::Kind::Unplug;
        s.event.device = f.Need(L"device");
        if (s.event.device.empty()) throw Bad{L"device= needs a label"};
        const int part = static_cast<int>(f.TakeNumber(L"part", 0, 1, 2));
        if (!TakeTrigger(f, s.event.device, part, &s.event.when)) throw Bad{L"needs at= or when="};
        s.event.backAfterMs = static_cast<DWORD>(f.TakeNumber(L"back-after", 0, 0, 0xFFFFFFFEull));
    } else {
        throw Bad{L"unknown statement " + Quoted(verb)};
    }
    f.Done();
    return s;
}

void Apply(const Statement& s) {
    switch (s.kind) {
        case Statement::Kind::Device: {
            auto trip = std::make_shared<Trip>(s.device);
            Trips().push_back(trip);
            if (s.device.deferred) {
                When(s.device.trigger, [trip] { trip->Plug(); });
            } else {
                trip->Plug();
            }
            break;
        }
        case Statement::Kind::OpenFile: QueueOpenFileAnswer(s.path); break;
        case Statement::Kind::MessageBox: QueueMessageBoxAnswer(s.answer); break;
        case Statement::Kind::ProgramFolder: {
            wchar_t real[MAX_PATH] = L"";
            ::GetModuleFileNameW(nullptr, real, MAX_PATH);
            const wchar_t* name = wcsrchr(real, L'\\');
            SetModuleFileName(s.path + L"\\" + (name ? name + 1 : L"Corvane_FW_Updater.exe"));
            break;
        }
        case Statement::Kind::Unplug: Schedule(s.event); break;
    }
}

void WriteToStandardError(const std::wstring& text) {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return;
    std::string utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], n, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

[[noreturn]] void Refuse(const std::wstring& file, const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& l : lines) text += L"world file " + file + L": " + l + L"\r\n";
    text += L"The simulated program does not start.\r\n";
    WriteToStandardError(text);
    detail::EchoToLog(text);
    ::OutputDebugStringW(text.c_str());
    wchar_t interactive[4];
    const DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIM_INTERACTIVE", interactive, 4);
    if (n > 0 && n < 4 && interactive[0] == L'1')
        detail::Real().MessageBoxW(nullptr, text.c_str(), L"Corvane_FW_Updater (simulated)", MB_ICONERROR | MB_OK);
    ::ExitProcess(3);
}

}  // namespace

std::vector<ScenarioError> LoadScenario(const std::wstring& text) {
    std::vector<ScenarioError> errors;
    std::vector<Statement> statements;
    std::wstringstream in(text);
    std::wstring line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (number == 1 && !line.empty() && line[0] == 0xFEFF) line.erase(0, 1);
        std::wstring statement = line;
        const size_t hash = statement.find(L'#');
        if (hash != std::wstring::npos) statement.erase(hash);
        while (!statement.empty() && std::iswspace(statement.back())) statement.pop_back();
        const size_t first = statement.find_first_not_of(L" \t");
        if (first == std::wstring::npos) continue;
        statement.erase(0, first);
        try {
            statements.push_back(Parse(statement));
        } catch (const Bad& bad) {
            errors.push_back({number, statement, bad.message});
        }
    }
    if (!errors.empty()) return errors;
    for (const Statement& s : statements) Apply(s);
    return errors;
}

std::wstring ErrorText(const ScenarioError& e) {
    return L"line " + std::to_wstring(e.line) + L": " + e.message + L": " + e.statement;
}

void LoadScenarioFromEnvironment() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", path, MAX_PATH);
    if (n == 0) return;
    if (n >= MAX_PATH) Refuse(L"(CORVANE_SIM_SCENARIO)", {L"the path is too long"});
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Refuse(path, {L"cannot be opened (error " + std::to_wstring(::GetLastError()) + L")"});
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0 && bytes.size() < (1u << 20))
        bytes.append(buf, got);
    ::CloseHandle(file);
    const int wide = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide > 0 ? wide : 0), L'\0');
    if (wide > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], wide);
    const std::vector<ScenarioError> errors = LoadScenario(text);
    if (errors.empty()) return;
    std::vector<std::wstring> lines;
    for (const ScenarioError& e : errors) lines.push_back(ErrorText(e));
    Refuse(path, lines);
}

}  // namespace sim
