// The tracing table: every entry that reaches a device, the clock, a process
// or an operator dialog records one JSON line and forwards the call to the
// table underneath, leaving its result and last error exactly as they were.
//
// Each module that links this file has its own state (its own handle maps and
// file handle); the origin of the time stamps and the write lock are shared
// by every module of the process through named kernel objects.
#include "os_trace.h"

#include <userenv.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kVariable[] = L"CORVANE_TRACE";
constexpr int kFormat = 1;

// What a handle of the process stands for, as far as this module saw it opened.
struct Target {
    enum Kind { Unknown, Device, File, Process };
    Kind kind = Unknown;
    std::wstring path;
};

// An overlapped request that went pending: its reply is recorded when
// GetOverlappedResult reports it done.
struct PendingIo {
    const char* call = "";
    HANDLE file = nullptr;   // the device file (for WinUSB: the file the interface was made on)
    std::string request;     // request fields, already formatted (",\"setup\":{...}")
    const BYTE* reply = nullptr;  // where the reply lands; null: nothing to read back
    DWORD capacity = 0;
};

struct State {
    const OsApi* inner = nullptr;
    OsApi table{};
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE writeLock = nullptr;  // named mutex of the trace file, shared with every writer
    LONGLONG origin = 0;         // counter value of the process's first record
    double ticksPerMs = 1;
    std::atomic<PFN_SetupDiGetDevicePropertyW> devicePropertyApi{nullptr};

    SRWLOCK lock = SRWLOCK_INIT;  // guards the maps
    std::map<HANDLE, Target> handles;
    std::map<void*, HANDLE> winusb;     // WinUSB interface -> device file
    std::map<void*, HANDLE> preparsed;  // HID preparsed data -> device file
    std::map<const OVERLAPPED*, PendingIo> pending;
};

// Set once, when this module starts tracing; never freed (other threads may
// still record while the process ends).
State* g = nullptr;

// ---------------------------------------------------------------- text

void AppendUtf8(std::string& out, unsigned long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendEscaped(std::string& out, unsigned long c) {
    switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default: break;
    }
    if (c < 0x20) {
        char u[8];
        std::snprintf(u, sizeof u, "\\u%04lx", c);
        out += u;
        return;
    }
    AppendUtf8(out, c);
}

void AppendJsonString(std::string& out, const wchar_t* s, size_t n) {
    out += '"';
    for (size_t i = 0; i < n; ++i) {
        unsigned long c = static_cast<unsigned short>(s[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
            const unsigned long low = static_cast<unsigned short>(s[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a surrogate without its pair
        AppendEscaped(out, c);
    }
    out += '"';
}

// Narrow names (GetProcAddress) are taken as Latin-1.
void AppendJsonAscii(std::string& out, const char* s) {
    out += '"';
    for (; *s; ++s) AppendEscaped(out, static_cast<unsigned char>(*s));
    out += '"';
}

void AppendHex(std::string& out, const void* data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    const BYTE* p = static_cast<const BYTE*>(data);
    const size_t at = out.size();
    out.resize(at + 2 * n);
    for (size_t i = 0; i < n; ++i) {
        out[at + 2 * i] = kDigits[p[i] >> 4];
        out[at + 2 * i + 1] = kDigits[p[i] & 0xF];
    }
}

std::string GuidJson(const GUID& guid) {
    char text[48];
    std::snprintf(text, sizeof text, "\"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\"",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

LONGLONG Ticks() {
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return c.QuadPart;
}

// ---------------------------------------------------------------- handles

Target FindTarget(HANDLE h) {
    Target t;
    ::AcquireSRWLockShared(&g->lock);
    auto it = g->handles.find(h);
    if (it != g->handles.end()) t = it->second;
    ::ReleaseSRWLockShared(&g->lock);
    return t;
}

HANDLE FileOfInterface(void* ifh) {
    HANDLE h = nullptr;
    ::AcquireSRWLockShared(&g->lock);
    auto it = g->winusb.find(ifh);
    if (it != g->winusb.end()) h = it->second;
    ::ReleaseSRWLockShared(&g->lock);
    return h;
}

HANDLE FileOfPreparsed(void* data) {
    HANDLE h = nullptr;
    ::AcquireSRWLockShared(&g->lock);
    auto it = g->preparsed.find(data);
    if (it != g->preparsed.end()) h = it->second;
    ::ReleaseSRWLockShared(&g->lock);
    return h;
}

void RememberPending(const OVERLAPPED* ov, PendingIo p) {
    ::AcquireSRWLockExclusive(&g->lock);
    g->pending[ov] = std::move(p);
    ::ReleaseSRWLockExclusive(&g->lock);
}

bool TakePending(const OVERLAPPED* ov, PendingIo* p) {
    ::AcquireSRWLockExclusive(&g->lock);
    auto it = g->pending.find(ov);
    const bool found = it != g->pending.end();
    if (found) {
        *p = std::move(it->second);
        g->pending.erase(it);
    }
    ::ReleaseSRWLockExclusive(&g->lock);
    return found;
}

// ---------------------------------------------------------------- records

void WriteLine(const std::string& line) {
    // A whole line in one write, under the file's lock: lines of other
    // modules and processes never land inside it.
    const DWORD w = ::WaitForSingleObject(g->writeLock, INFINITE);
    DWORD written = 0;
    ::WriteFile(g->file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ::ReleaseMutex(g->writeLock);
}

class Record {
public:
    Record(const char* call, LONGLONG start) : start_(start) {
        double t = static_cast<double>(start - g->origin) / g->ticksPerMs;
        if (t < 0) t = 0;
        char head[80];
        std::snprintf(head, sizeof head, "{\"t\":%.3f,\"tid\":%lu,\"call\":", t,
                      static_cast<unsigned long>(::GetCurrentThreadId()));
        s_.reserve(256);
        s_ = head;
        AppendJsonAscii(s_, call);
    }
    explicit Record(const char* call) : Record(call, Ticks()) {}

    Record& Key(const char* key) {
        s_ += ",\"";
        s_ += key;
        s_ += "\":";
        return *this;
    }
    Record& Text(const char* key, const wchar_t* v) { return Text(key, v, v ? std::wcslen(v) : 0); }
    Record& Text(const char* key, const wchar_t* v, size_t n) {
        Key(key);
        if (v) {
            AppendJsonString(s_, v, n);
        } else {
            s_ += "null";
        }
        return *this;
    }
    // Text in a buffer of `capacity` characters that may lack its terminator.
    Record& BoundedText(const char* key, const wchar_t* v, size_t capacity) {
        size_t n = 0;
        if (v) {
            while (n < capacity && v[n]) ++n;
        }
        return Text(key, v, n);
    }
    Record& Name(const char* key, const char* v) {
        Key(key);
        AppendJsonAscii(s_, v);
        return *this;
    }
    Record& Num(const char* key, unsigned long long v) {
        char n[24];
        std::snprintf(n, sizeof n, "%llu", v);
        Key(key);
        s_ += n;
        return *this;
    }
    Record& Hex32(const char* key, unsigned long v) {
        char n[16];
        std::snprintf(n, sizeof n, "\"0x%08lx\"", v);
        Key(key);
        s_ += n;
        return *this;
    }
    Record& Pointer(const char* key, const void* v) {
        char n[24];
        std::snprintf(n, sizeof n, "\"0x%llx\"", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
        Key(key);
        s_ += n;
        return *this;
    }
    Record& Bytes(const char* key, const void* data, size_t n) {
        Key(key);
        s_ += '"';
        if (data) AppendHex(s_, data, n);
        s_ += '"';
        return *this;
    }
    Record& Guid(const char* key, const GUID* guid) {
        Key(key);
        s_ += guid ? GuidJson(*guid) : std::string("null");
        return *this;
    }
    Record& Raw(const std::string& fields) {
        s_ += fields;
        return *this;
    }
    // The object a handle stands for: "dev" (a device path), "file",
    // "process", or the bare "handle".
    Record& On(HANDLE h, const Target& t) {
        switch (t.kind) {
            case Target::Device: return Text("dev", t.path.c_str(), t.path.size());
            case Target::File: return Text("file", t.path.c_str(), t.path.size());
            case Target::Process: return Text("process", t.path.c_str(), t.path.size());
            default: return Pointer("handle", h);
        }
    }
    Record& On(HANDLE h) { return On(h, FindTarget(h)); }
    // result 1 or 0; the last error only when the call failed (after a
    // success it is whatever an earlier call left).
    Record& Outcome(bool ok, DWORD error) {
        Num("result", ok ? 1 : 0);
        if (!ok) Num("error", error);
        return *this;
    }
    Record& Duration() {
        char n[32];
        std::snprintf(n, sizeof n, "%.3f", static_cast<double>(Ticks() - start_) / g->ticksPerMs);
        Key("dur");
        s_ += n;
        return *this;
    }
    void Write() {
        s_ += "}\n";
        WriteLine(s_);
    }

private:
    LONGLONG start_;
    std::string s_;
};

std::string SetupFields(const WINUSB_SETUP_PACKET& s) {
    char text[112];
    std::snprintf(text, sizeof text, ",\"setup\":{\"type\":%u,\"request\":%u,\"value\":%u,\"index\":%u,\"length\":%u}",
                  s.RequestType, s.Request, s.Value, s.Index, s.Length);
    return text;
}

std::string IoctlFields(DWORD code, DWORD outLength) {
    char text[64];
    std::snprintf(text, sizeof text, ",\"ioctl\":\"0x%08lx\",\"length\":%lu", static_cast<unsigned long>(code),
                  static_cast<unsigned long>(outLength));
    return text;
}

// Keeps the last error of the forwarded call across the recording.
class KeepError {
public:
    KeepError() : error_(::GetLastError()) {}
    ~KeepError() { ::SetLastError(error_); }
    DWORD error() const { return error_; }

private:
    DWORD error_;
};

// ---------------------------------------------------------------- SetupAPI

HDEVINFO WINAPI T_SetupDiGetClassDevsW(const GUID* cls, PCWSTR enumerator, HWND parent, DWORD flags) {
    const LONGLONG start = Ticks();
    HDEVINFO set = g->inner->SetupDiGetClassDevsW(cls, enumerator, parent, flags);
    KeepError keep;
    Record r("SetupDiGetClassDevsW", start);
    r.Guid("class", cls).Text("enumerator", enumerator).Hex32("flags", flags).Pointer("set", set);
    r.Outcome(set != INVALID_HANDLE_VALUE, keep.error()).Write();
    return set;
}

BOOL WINAPI T_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* cls, DWORD index,
                                          PSP_DEVICE_INTERFACE_DATA data) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->SetupDiEnumDeviceInterfaces(set, info, cls, index, data);
    KeepError keep;
    Record r("SetupDiEnumDeviceInterfaces", start);
    r.Pointer("set", set).Guid("class", cls).Num("index", index).Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->SetupDiEnumDeviceInfo(set, index, info);
    KeepError keep;
    Record r("SetupDiEnumDeviceInfo", start);
    r.Pointer("set", set).Num("index", index);
    if (ok && info) r.Hex32("devinst", info->DevInst);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

// A registry or device property as JSON: text, a list of texts, a number, or hex.
std::string ValueJson(bool text, bool list, bool number, const BYTE* data, DWORD size) {
    std::string out;
    const wchar_t* w = reinterpret_cast<const wchar_t*>(data);
    const size_t units = size / sizeof(wchar_t);
    if (text) {
        size_t n = 0;
        while (n < units && w[n]) ++n;
        AppendJsonString(out, w, n);
    } else if (list) {
        out += '[';
        size_t i = 0;
        bool first = true;
        while (i < units && w[i]) {
            size_t n = 0;
            while (i + n < units && w[i + n]) ++n;
            if (!first) out += ',';
            first = false;
            AppendJsonString(out, w + i, n);
            i += n + 1;
        }
        out += ']';
    } else if (number && size >= 4) {
        DWORD v = 0;
        std::memcpy(&v, data, 4);
        out = std::to_string(v);
    } else {
        out += '"';
        AppendHex(out, data, size);
        out += '"';
    }
    return out;
}

BOOL WINAPI T_SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property, PDWORD type,
                                                PBYTE buffer, DWORD size, PDWORD required) {
    const LONGLONG start = Ticks();
    // The caller may not ask for the type or the size; the record wants both.
    DWORD ownType = 0, ownRequired = 0;
    PDWORD typeOut = type ? type : &ownType;
    PDWORD requiredOut = required ? required : &ownRequired;
    BOOL ok = g->inner->SetupDiGetDeviceRegistryPropertyW(set, info, property, typeOut, buffer, size, requiredOut);
    KeepError keep;
    Record r("SetupDiGetDeviceRegistryPropertyW", start);
    r.Pointer("set", set);
    if (info) r.Hex32("devinst", info->DevInst);
    r.Num("property", property).Num("size", size).Num("required", *requiredOut);
    if (ok && buffer) {
        const DWORD n = std::min(size, *requiredOut);
        const DWORD t = *typeOut;
        r.Num("type", t).Key("value").Raw(
            ValueJson(t == REG_SZ || t == REG_EXPAND_SZ, t == REG_MULTI_SZ, t == REG_DWORD, buffer, n));
    }
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                               PDWORD required, PSP_DEVINFO_DATA info) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->SetupDiGetDeviceInterfaceDetailW(set, data, detail, size, required, info);
    KeepError keep;
    Record r("SetupDiGetDeviceInterfaceDetailW", start);
    r.Pointer("set", set).Num("size", size);
    if (required) r.Num("required", *required);
    if (ok && detail) {
        const size_t head = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        const size_t room = size > head ? (size - head) / sizeof(wchar_t) : 0;
        r.BoundedText("path", detail->DevicePath, room);
    }
    if (ok && info) r.Hex32("devinst", info->DevInst);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->SetupDiDestroyDeviceInfoList(set);
    KeepError keep;
    Record("SetupDiDestroyDeviceInfoList", start).Pointer("set", set).Outcome(ok, keep.error()).Write();
    return ok;
}

CONFIGRET WINAPI T_CM_Get_Parent(PDEVINST parent, DEVINST devinst, ULONG flags) {
    const LONGLONG start = Ticks();
    CONFIGRET cr = g->inner->CM_Get_Parent(parent, devinst, flags);
    KeepError keep;
    Record r("CM_Get_Parent", start);
    r.Hex32("devinst", devinst);
    if (cr == CR_SUCCESS && parent) r.Hex32("parent", *parent);
    r.Num("cr", cr).Write();
    return cr;
}

CONFIGRET WINAPI T_CM_Get_Device_IDW(DEVINST devinst, PWSTR buffer, ULONG length, ULONG flags) {
    const LONGLONG start = Ticks();
    CONFIGRET cr = g->inner->CM_Get_Device_IDW(devinst, buffer, length, flags);
    KeepError keep;
    Record r("CM_Get_Device_IDW", start);
    r.Hex32("devinst", devinst).Num("length", length);
    if (cr == CR_SUCCESS) r.BoundedText("id", buffer, length);
    r.Num("cr", cr).Write();
    return cr;
}

BOOL WINAPI T_SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA info, const DEVPROPKEY* key,
                                        DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    const LONGLONG start = Ticks();
    DEVPROPTYPE ownType = 0;
    DWORD ownRequired = 0;
    DEVPROPTYPE* typeOut = type ? type : &ownType;
    PDWORD requiredOut = required ? required : &ownRequired;
    BOOL ok = g->devicePropertyApi.load()(set, info, key, typeOut, buffer, size, requiredOut, flags);
    KeepError keep;
    Record r("SetupDiGetDevicePropertyW", start);
    r.Pointer("set", set);
    if (info) r.Hex32("devinst", info->DevInst);
    if (key) r.Guid("key", &key->fmtid).Num("pid", key->pid);
    r.Num("size", size).Num("required", *requiredOut);
    if (ok && buffer) {
        const DWORD n = std::min(size, *requiredOut);
        const DEVPROPTYPE t = *typeOut;
        r.Hex32("type", t).Key("value").Raw(ValueJson(t == DEVPROP_TYPE_STRING,
                                                      t == (DEVPROP_TYPE_STRING | DEVPROP_TYPEMOD_LIST),
                                                      t == DEVPROP_TYPE_UINT32, buffer, n));
    }
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

// ---------------------------------------------------------------- modules

HMODULE WINAPI T_GetModuleHandleW(LPCWSTR name) {
    const LONGLONG start = Ticks();
    HMODULE m = g->inner->GetModuleHandleW(name);
    KeepError keep;
    Record("GetModuleHandleW", start).Text("name", name).Outcome(m != nullptr, keep.error()).Write();
    return m;
}

FARPROC WINAPI T_GetProcAddress(HMODULE module, LPCSTR name) {
    const LONGLONG start = Ticks();
    FARPROC p = g->inner->GetProcAddress(module, name);
    KeepError keep;
    const bool byOrdinal = (reinterpret_cast<uintptr_t>(name) >> 16) == 0;
    Record r("GetProcAddress", start);
    if (byOrdinal) {
        r.Num("ordinal", reinterpret_cast<uintptr_t>(name));
    } else {
        r.Name("name", name);
    }
    r.Outcome(p != nullptr, keep.error()).Write();
    // The product calls this one through the pointer it gets back: hand out
    // a recording stand-in so its answers land in the trace too.
    if (p && !byOrdinal && std::strcmp(name, "SetupDiGetDevicePropertyW") == 0) {
        g->devicePropertyApi.store(reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(reinterpret_cast<void*>(p)));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&T_SetupDiGetDevicePropertyW));
    }
    return p;
}

HMODULE WINAPI T_LoadLibraryW(LPCWSTR name) {
    const LONGLONG start = Ticks();
    HMODULE m = g->inner->LoadLibraryW(name);
    KeepError keep;
    Record("LoadLibraryW", start).Text("name", name).Outcome(m != nullptr, keep.error()).Write();
    return m;
}

HMODULE WINAPI T_LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    const LONGLONG start = Ticks();
    HMODULE m = g->inner->LoadLibraryExW(name, file, flags);
    KeepError keep;
    Record("LoadLibraryExW", start)
        .Text("name", name)
        .Hex32("flags", flags)
        .Outcome(m != nullptr, keep.error())
        .Write();
    return m;
}

DWORD WINAPI T_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    const LONGLONG start = Ticks();
    DWORD n = g->inner->GetModuleFileNameW(module, buffer, size);
    KeepError keep;
    Record r("GetModuleFileNameW", start);
    r.Pointer("module", module).Num("size", size);
    if (n > 0 && buffer) r.Text("path", buffer, std::min(n, size));
    r.Outcome(n > 0, keep.error()).Write();
    return n;
}

// ---------------------------------------------------------------- files and device files

HANDLE WINAPI T_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                            DWORD flags, HANDLE templ) {
    const LONGLONG start = Ticks();
    HANDLE h = g->inner->CreateFileW(name, access, share, sa, disposition, flags, templ);
    KeepError keep;
    const bool ok = h != INVALID_HANDLE_VALUE && h != nullptr;
    const bool device = ostrace::IsDevicePath(name);
    if (ok && name) {
        Target t;
        t.kind = device ? Target::Device : Target::File;
        t.path = name;
        ::AcquireSRWLockExclusive(&g->lock);
        g->handles[h] = t;
        ::ReleaseSRWLockExclusive(&g->lock);
    }
    Record r("CreateFileW", start);
    r.Text(device ? "dev" : "file", name).Hex32("access", access).Num("share", share).Num("disposition", disposition);
    r.Hex32("flags", flags);
    if (ok) r.Pointer("handle", h);
    r.Outcome(ok, keep.error()).Duration().Write();
    return h;
}

// The count a finished request reports: the caller's counter, or the
// OVERLAPPED's when it passed none.
DWORD CountOf(const DWORD* count, const OVERLAPPED* ov) {
    if (ov) return static_cast<DWORD>(ov->InternalHigh);
    return count ? *count : 0;
}

BOOL WINAPI T_ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->ReadFile(h, buffer, length, read, ov);
    KeepError keep;
    const Target t = FindTarget(h);
    const bool device = t.kind != Target::File;  // file contents stay out of the trace
    Record r("ReadFile", start);
    r.On(h, t).Num("length", length);
    if (ok) {
        const DWORD n = std::min(CountOf(read, ov), length);
        if (device) r.Bytes("in", buffer, n);
        r.Num("count", n);
    } else if (keep.error() == ERROR_IO_PENDING && ov) {
        PendingIo p;
        p.call = "ReadFile";
        p.file = h;
        p.request = ",\"length\":" + std::to_string(length);
        p.reply = device ? static_cast<const BYTE*>(buffer) : nullptr;
        p.capacity = length;
        RememberPending(ov, std::move(p));
        r.Pointer("ov", ov);
    }
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOL WINAPI T_WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->WriteFile(h, buffer, length, written, ov);
    KeepError keep;
    const Target t = FindTarget(h);
    Record r("WriteFile", start);
    r.On(h, t).Num("length", length);
    if (t.kind != Target::File) r.Bytes("out", buffer, length);
    if (ok) {
        r.Num("count", CountOf(written, ov));
    } else if (keep.error() == ERROR_IO_PENDING && ov) {
        PendingIo p;
        p.call = "WriteFile";
        p.file = h;
        p.request = ",\"length\":" + std::to_string(length);
        RememberPending(ov, std::move(p));
        r.Pointer("ov", ov);
    }
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOL WINAPI T_DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                              LPDWORD returned, LPOVERLAPPED ov) {
    const LONGLONG start = Ticks();
    // The input buffer may double as the output buffer: keep what was sent.
    std::string sent;
    if (in && inLength) AppendHex(sent, in, inLength);
    BOOL ok = g->inner->DeviceIoControl(h, code, in, inLength, out, outLength, returned, ov);
    KeepError keep;
    const std::string request = IoctlFields(code, outLength);
    Record r("DeviceIoControl", start);
    r.On(h).Raw(request).Key("out").Raw("\"" + sent + "\"");
    if (ok) {
        const DWORD n = out ? std::min(CountOf(returned, ov), outLength) : 0;
        r.Bytes("in", out, n).Num("count", n);
    } else if (keep.error() == ERROR_IO_PENDING && ov) {
        PendingIo p;
        p.call = "DeviceIoControl";
        p.file = h;
        p.request = request;
        p.reply = static_cast<const BYTE*>(out);
        p.capacity = outLength;
        RememberPending(ov, std::move(p));
        r.Pointer("ov", ov);
    }
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOL WINAPI T_CancelIo(HANDLE h) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->CancelIo(h);
    KeepError keep;
    Record("CancelIo", start).On(h).Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->GetOverlappedResult(h, ov, transferred, wait);
    KeepError keep;
    // A poll of a request still running tells nothing new.
    if (!ok && keep.error() == ERROR_IO_INCOMPLETE) return ok;
    PendingIo p;
    const bool known = TakePending(ov, &p);
    const Target t = FindTarget(known ? p.file : h);
    Record r("GetOverlappedResult", start);
    if (known) r.Name("op", p.call);
    r.On(known ? p.file : h, t);
    if (known) r.Raw(p.request);
    r.Pointer("ov", ov).Num("wait", wait ? 1 : 0);
    if (ok) {
        const DWORD n = CountOf(transferred, ov);
        if (known && p.reply && t.kind != Target::File) r.Bytes("in", p.reply, std::min(n, p.capacity));
        r.Num("count", n);
    }
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOL WINAPI T_CloseHandle(HANDLE h) {
    const LONGLONG start = Ticks();
    const Target t = FindTarget(h);
    BOOL ok = g->inner->CloseHandle(h);
    KeepError keep;
    if (t.kind != Target::Unknown) {
        ::AcquireSRWLockExclusive(&g->lock);
        g->handles.erase(h);
        // Requests still pending on it end with the handle.
        for (auto it = g->pending.begin(); it != g->pending.end();) {
            it = it->second.file == h ? g->pending.erase(it) : std::next(it);
        }
        ::ReleaseSRWLockExclusive(&g->lock);
    }
    Record r("CloseHandle", start);
    r.On(h, t);
    if (t.kind != Target::Unknown) r.Pointer("handle", h);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->GetFileSizeEx(h, size);
    KeepError keep;
    Record r("GetFileSizeEx", start);
    r.On(h);
    if (ok && size) r.Num("size", static_cast<unsigned long long>(size->QuadPart));
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

DWORD WINAPI T_GetFileAttributesW(LPCWSTR name) {
    const LONGLONG start = Ticks();
    DWORD a = g->inner->GetFileAttributesW(name);
    KeepError keep;
    Record r("GetFileAttributesW", start);
    r.Text(ostrace::IsDevicePath(name) ? "dev" : "file", name);
    if (a != INVALID_FILE_ATTRIBUTES) r.Hex32("attributes", a);
    r.Outcome(a != INVALID_FILE_ATTRIBUTES, keep.error()).Write();
    return a;
}

// ---------------------------------------------------------------- HID

BOOLEAN WINAPI T_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    const LONGLONG start = Ticks();
    BOOLEAN ok = g->inner->HidD_GetPreparsedData(h, data);
    KeepError keep;
    if (ok && data) {
        ::AcquireSRWLockExclusive(&g->lock);
        g->preparsed[*data] = h;
        ::ReleaseSRWLockExclusive(&g->lock);
    }
    Record("HidD_GetPreparsedData", start).On(h).Outcome(ok, keep.error()).Write();
    return ok;
}

BOOLEAN WINAPI T_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    const LONGLONG start = Ticks();
    const HANDLE h = FileOfPreparsed(data);
    BOOLEAN ok = g->inner->HidD_FreePreparsedData(data);
    KeepError keep;
    ::AcquireSRWLockExclusive(&g->lock);
    g->preparsed.erase(data);
    ::ReleaseSRWLockExclusive(&g->lock);
    Record("HidD_FreePreparsedData", start).On(h).Outcome(ok, keep.error()).Write();
    return ok;
}

BOOLEAN WINAPI T_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
    const LONGLONG start = Ticks();
    BOOLEAN ok = g->inner->HidD_GetAttributes(h, attributes);
    KeepError keep;
    Record r("HidD_GetAttributes", start);
    r.On(h);
    if (ok && attributes) {
        r.Hex32("vid", attributes->VendorID).Hex32("pid", attributes->ProductID);
        r.Hex32("version", attributes->VersionNumber);
    }
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

NTSTATUS WINAPI T_HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    const LONGLONG start = Ticks();
    NTSTATUS status = g->inner->HidP_GetCaps(data, caps);
    KeepError keep;
    Record r("HidP_GetCaps", start);
    r.On(FileOfPreparsed(data));
    if (status == HIDP_STATUS_SUCCESS && caps) {
        r.Hex32("usagePage", caps->UsagePage).Hex32("usage", caps->Usage);
        r.Num("inputLength", caps->InputReportByteLength).Num("outputLength", caps->OutputReportByteLength);
        r.Num("featureLength", caps->FeatureReportByteLength);
    }
    r.Hex32("status", static_cast<unsigned long>(status)).Write();
    return status;
}

BOOLEAN WINAPI T_HidD_GetInputReport(HANDLE h, PVOID buffer, ULONG length) {
    const LONGLONG start = Ticks();
    const int id = buffer && length ? static_cast<const BYTE*>(buffer)[0] : -1;
    BOOLEAN ok = g->inner->HidD_GetInputReport(h, buffer, length);
    KeepError keep;
    Record r("HidD_GetInputReport", start);
    r.On(h);
    if (id >= 0) r.Num("report", static_cast<unsigned>(id));
    r.Num("length", length);
    if (ok && buffer) r.Bytes("in", buffer, length);
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOLEAN WINAPI T_HidD_SetOutputReport(HANDLE h, PVOID buffer, ULONG length) {
    const LONGLONG start = Ticks();
    std::string sent;
    if (buffer && length) AppendHex(sent, buffer, length);
    BOOLEAN ok = g->inner->HidD_SetOutputReport(h, buffer, length);
    KeepError keep;
    Record r("HidD_SetOutputReport", start);
    r.On(h);
    if (buffer && length) r.Num("report", static_cast<const BYTE*>(buffer)[0]);
    r.Num("length", length).Key("out").Raw("\"" + sent + "\"");
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

// ---------------------------------------------------------------- WinUSB

BOOL WINAPI T_WinUsb_Initialize(HANDLE h, PWINUSB_INTERFACE_HANDLE out) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->WinUsb_Initialize(h, out);
    KeepError keep;
    if (ok && out) {
        ::AcquireSRWLockExclusive(&g->lock);
        g->winusb[*out] = h;
        ::ReleaseSRWLockExclusive(&g->lock);
    }
    Record r("WinUsb_Initialize", start);
    r.On(h);
    if (ok && out) r.Pointer("interface", *out);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE ifh, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                     ULONG length, PULONG transferred, LPOVERLAPPED ov) {
    const LONGLONG start = Ticks();
    const bool in = (setup.RequestType & 0x80) != 0;
    const ULONG stage = buffer ? std::min<ULONG>(length, setup.Length) : 0;
    std::string sent;
    if (!in && stage) AppendHex(sent, buffer, stage);
    BOOL ok = g->inner->WinUsb_ControlTransfer(ifh, setup, buffer, length, transferred, ov);
    KeepError keep;
    const HANDLE file = FileOfInterface(ifh);
    const std::string request = SetupFields(setup);
    Record r("WinUsb_ControlTransfer", start);
    if (file) {
        r.On(file);
    } else {
        r.Pointer("interface", ifh);
    }
    r.Raw(request);
    if (!in) r.Key("out").Raw("\"" + sent + "\"");
    if (ok) {
        const DWORD n = transferred ? *transferred : CountOf(nullptr, ov);
        if (in) r.Bytes("in", buffer, std::min<ULONG>(n, stage));
        r.Num("count", n);
    } else if (keep.error() == ERROR_IO_PENDING && ov) {
        PendingIo p;
        p.call = "WinUsb_ControlTransfer";
        p.file = file;
        p.request = request;
        p.reply = in ? buffer : nullptr;
        p.capacity = stage;
        RememberPending(ov, std::move(p));
        r.Pointer("ov", ov);
    }
    r.Outcome(ok, keep.error()).Duration().Write();
    return ok;
}

BOOL WINAPI T_WinUsb_Free(WINUSB_INTERFACE_HANDLE ifh) {
    const LONGLONG start = Ticks();
    const HANDLE file = FileOfInterface(ifh);
    BOOL ok = g->inner->WinUsb_Free(ifh);
    KeepError keep;
    ::AcquireSRWLockExclusive(&g->lock);
    g->winusb.erase(ifh);
    ::ReleaseSRWLockExclusive(&g->lock);
    Record r("WinUsb_Free", start);
    if (file) r.On(file);
    r.Pointer("interface", ifh).Outcome(ok, keep.error()).Write();
    return ok;
}

// ---------------------------------------------------------------- COM

HRESULT WINAPI T_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    const LONGLONG start = Ticks();
    HRESULT hr = g->inner->CoCreateInstance(clsid, outer, context, iid, object);
    KeepError keep;
    // The objects handed out are not wrapped: property requests made on them
    // are recorded by their callers through CorvaneTraceKsProperty.
    Record("CoCreateInstance", start)
        .Guid("clsid", &clsid)
        .Guid("iid", &iid)
        .Hex32("context", context)
        .Hex32("hr", static_cast<unsigned long>(hr))
        .Write();
    return hr;
}

// ---------------------------------------------------------------- device-change notifications

// WM_DEVICECHANGE reaches the window procedure, not the table: the window
// registered for notifications is subclassed so that each one is recorded as
// the window receives it. The first module to subclass a window marks it, so
// a window registered by two modules records each message once.
const wchar_t kNextProcProp[] = L"CorvaneTrace.NextProc";

void RecordDeviceChange(HWND window, WPARAM event, LPARAM data) {
    Record r("WM_DEVICECHANGE");
    r.Pointer("window", window);
    switch (event) {
        case DBT_DEVICEARRIVAL: r.Name("event", "arrival"); break;
        case DBT_DEVICEREMOVECOMPLETE: r.Name("event", "removal"); break;
        case DBT_DEVICEQUERYREMOVE: r.Name("event", "query-removal"); break;
        case DBT_DEVICEREMOVEPENDING: r.Name("event", "removal-pending"); break;
        case DBT_DEVNODES_CHANGED: r.Name("event", "nodes-changed"); break;
        default: r.Hex32("event", static_cast<unsigned long>(event)); break;
    }
    // Only the device events carry a broadcast header.
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (event >= DBT_DEVICEARRIVAL && event <= DBT_DEVICEREMOVECOMPLETE && header) {
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* d = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
            const size_t head = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
            const size_t room = d->dbcc_size > head ? (d->dbcc_size - head) / sizeof(wchar_t) : 0;
            r.Guid("class", &d->dbcc_classguid).BoundedText("dev", d->dbcc_name, room);
        } else {
            r.Num("deviceType", header->dbch_devicetype);
        }
    }
    r.Write();
}

LRESULT CALLBACK ObserveDeviceChanges(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC next = reinterpret_cast<WNDPROC>(::GetPropW(window, kNextProcProp));
    if (message == WM_DEVICECHANGE) {
        const DWORD error = ::GetLastError();
        RecordDeviceChange(window, wParam, lParam);
        ::SetLastError(error);
    } else if (message == WM_NCDESTROY) {
        // Undone only while nobody subclassed the window after us.
        if (::GetWindowLongPtrW(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&ObserveDeviceChanges)) {
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(next));
        }
        ::RemovePropW(window, kNextProcProp);
    }
    return next ? ::CallWindowProcW(next, window, message, wParam, lParam)
                : ::DefWindowProcW(window, message, wParam, lParam);
}

void ObserveWindow(HWND window) {
    if (!::IsWindow(window) || ::GetPropW(window, kNextProcProp)) return;
    const LONG_PTR previous = ::GetWindowLongPtrW(window, GWLP_WNDPROC);
    if (!previous || !::SetPropW(window, kNextProcProp, reinterpret_cast<HANDLE>(previous))) return;
    if (!::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ObserveDeviceChanges))) {
        ::RemovePropW(window, kNextProcProp);
    }
}

HDEVNOTIFY WINAPI T_RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    const LONGLONG start = Ticks();
    HDEVNOTIFY n = g->inner->RegisterDeviceNotificationW(recipient, filter, flags);
    KeepError keep;
    Record r("RegisterDeviceNotificationW", start);
    r.Pointer("recipient", recipient).Hex32("flags", flags);
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (header) {
        r.Num("deviceType", header->dbch_devicetype);
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            header->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
            r.Guid("class", &static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter)->dbcc_classguid);
        }
    }
    if (n) r.Pointer("notify", n);
    r.Outcome(n != nullptr, keep.error()).Write();
    if (n && !(flags & DEVICE_NOTIFY_SERVICE_HANDLE)) ObserveWindow(static_cast<HWND>(recipient));
    return n;
}

BOOL WINAPI T_UnregisterDeviceNotification(HDEVNOTIFY n) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->UnregisterDeviceNotification(n);
    KeepError keep;
    Record("UnregisterDeviceNotification", start).Pointer("notify", n).Outcome(ok, keep.error()).Write();
    return ok;
}

// ---------------------------------------------------------------- the system and processes

BOOL WINAPI T_GetVersionExW(LPOSVERSIONINFOW info) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->GetVersionExW(info);
    KeepError keep;
    Record r("GetVersionExW", start);
    if (ok && info) {
        r.Num("major", info->dwMajorVersion).Num("minor", info->dwMinorVersion).Num("build", info->dwBuildNumber);
    }
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES pa,
                             LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID environment,
                             LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    const LONGLONG start = Ticks();
    // CreateProcessW may write into the command line: keep it as passed.
    const std::wstring command = commandLine ? commandLine : L"";
    BOOL ok = g->inner->CreateProcessW(application, commandLine, pa, ta, inherit, flags, environment, directory,
                                       startup, info);
    KeepError keep;
    if (ok && info) {
        Target t;
        t.kind = Target::Process;
        t.path = application ? application : command;
        ::AcquireSRWLockExclusive(&g->lock);
        g->handles[info->hProcess] = t;
        ::ReleaseSRWLockExclusive(&g->lock);
    }
    Record r("CreateProcessW", start);
    r.Text("application", application).Text("commandLine", commandLine ? command.c_str() : nullptr);
    r.Text("directory", directory).Hex32("flags", flags);
    if (ok && info) r.Num("pid", info->dwProcessId);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

BOOL WINAPI T_GetExitCodeProcess(HANDLE process, LPDWORD code) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->GetExitCodeProcess(process, code);
    KeepError keep;
    Record r("GetExitCodeProcess", start);
    r.On(process);
    if (ok && code) r.Num("code", *code);
    r.Outcome(ok, keep.error()).Write();
    return ok;
}

// ---------------------------------------------------------------- time

void WINAPI T_Sleep(DWORD ms) {
    const LONGLONG start = Ticks();
    const DWORD error = ::GetLastError();
    g->inner->Sleep(ms);
    Record("Sleep", start).Num("ms", ms).Duration().Write();
    ::SetLastError(error);
}

DWORD WINAPI T_WaitForSingleObject(HANDLE h, DWORD ms) {
    const LONGLONG start = Ticks();
    DWORD result = g->inner->WaitForSingleObject(h, ms);
    KeepError keep;
    Record r("WaitForSingleObject", start);
    r.On(h);
    if (ms == INFINITE) {
        r.Key("ms").Raw("\"infinite\"");
    } else {
        r.Num("ms", ms);
    }
    r.Num("result", result);
    if (result == WAIT_FAILED) r.Num("error", keep.error());
    r.Duration().Write();
    return result;
}

// ---------------------------------------------------------------- operator dialogs

int WINAPI T_MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    const LONGLONG start = Ticks();
    int answer = g->inner->MessageBoxW(owner, text, caption, type);
    KeepError keep;
    Record("MessageBoxW", start)
        .Text("text", text)
        .Text("caption", caption)
        .Hex32("type", type)
        .Num("answer", static_cast<unsigned>(answer))
        .Duration()
        .Write();
    return answer;
}

BOOL WINAPI T_GetOpenFileNameW(LPOPENFILENAMEW ofn) {
    const LONGLONG start = Ticks();
    BOOL ok = g->inner->GetOpenFileNameW(ofn);
    KeepError keep;
    Record r("GetOpenFileNameW", start);
    if (ofn) r.Text("title", ofn->lpstrTitle);
    if (ok && ofn && ofn->lpstrFile) r.BoundedText("path", ofn->lpstrFile, ofn->nMaxFile);
    r.Num("result", ok ? 1 : 0).Duration().Write();
    return ok;
}

INT_PTR WINAPI T_DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM param) {
    const LONGLONG start = Ticks();
    INT_PTR result = g->inner->DialogBoxParamW(instance, name, parent, proc, param);
    KeepError keep;
    Record r("DialogBoxParamW", start);
    if (IS_INTRESOURCE(name)) {
        r.Num("template", reinterpret_cast<uintptr_t>(name));
    } else {
        r.Text("template", name);
    }
    char n[24];
    std::snprintf(n, sizeof n, "%lld", static_cast<long long>(result));
    r.Key("result").Raw(n).Duration().Write();
    return result;
}

// ---------------------------------------------------------------- diagnostics

void WINAPI T_OutputDebugStringW(LPCWSTR text) {
    const LONGLONG start = Ticks();
    const DWORD error = ::GetLastError();
    g->inner->OutputDebugStringW(text);
    Record("OutputDebugStringW", start).Text("text", text).Write();
    ::SetLastError(error);
}

// ---------------------------------------------------------------- start

std::wstring TracePath() {
    DWORD n = ::GetEnvironmentVariableW(kVariable, nullptr, 0);
    if (n == 0) return std::wstring();
    std::vector<wchar_t> buffer(n + 1);
    n = ::GetEnvironmentVariableW(kVariable, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::wstring();
    return std::wstring(buffer.data(), n);
}

// Every writer of one file, in any process, takes the same mutex: its name
// comes from the file's full path.
HANDLE WriteLockFor(const std::wstring& path) {
    wchar_t full[1024];
    DWORD n = ::GetFullPathNameW(path.c_str(), 1024, full, nullptr);
    std::wstring name = n > 0 && n < 1024 ? std::wstring(full, n) : path;
    unsigned long long h = 1469598103934665603ull;  // FNV-1a over the upper-cased path
    for (wchar_t c : name) {
        h ^= static_cast<unsigned short>(::towupper(c));
        h *= 1099511628211ull;
    }
    wchar_t lockName[64];
    std::swprintf(lockName, 64, L"Local\\CorvaneTrace.%016llx", h);
    return ::CreateMutexW(nullptr, FALSE, lockName);
}

// The counter value of the process's first record: every module of the
// process agrees on it through a small named mapping of this process.
LONGLONG ProcessOrigin(LONGLONG now) {
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\CorvaneTraceOrigin.%lu", static_cast<unsigned long>(::GetCurrentProcessId()));
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, name);
    if (!mapping) return now;
    // Kept open and mapped for the life of the process.
    auto* origin = static_cast<volatile LONGLONG*>(::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 64));
    if (!origin) return now;
    const LONGLONG previous = ::InterlockedCompareExchange64(origin, now, 0);
    return previous != 0 ? previous : now;
}

std::wstring ThisModulePath() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModulePath), &self);
    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(self, path, MAX_PATH);
    return std::wstring(path, n < MAX_PATH ? n : 0);
}

OsApi MakeTable(const OsApi& inner) {
    OsApi t = inner;  // what is not recorded goes straight to the table underneath
    t.SetupDiGetClassDevsW = T_SetupDiGetClassDevsW;
    t.SetupDiEnumDeviceInterfaces = T_SetupDiEnumDeviceInterfaces;
    t.SetupDiEnumDeviceInfo = T_SetupDiEnumDeviceInfo;
    t.SetupDiGetDeviceRegistryPropertyW = T_SetupDiGetDeviceRegistryPropertyW;
    t.SetupDiGetDeviceInterfaceDetailW = T_SetupDiGetDeviceInterfaceDetailW;
    t.SetupDiDestroyDeviceInfoList = T_SetupDiDestroyDeviceInfoList;
    t.CM_Get_Parent = T_CM_Get_Parent;
    t.CM_Get_Device_IDW = T_CM_Get_Device_IDW;
    t.GetModuleHandleW = T_GetModuleHandleW;
    t.GetProcAddress = T_GetProcAddress;
    t.LoadLibraryW = T_LoadLibraryW;
    t.LoadLibraryExW = T_LoadLibraryExW;
    t.GetModuleFileNameW = T_GetModuleFileNameW;
    t.CreateFileW = T_CreateFileW;
    t.ReadFile = T_ReadFile;
    t.WriteFile = T_WriteFile;
    t.DeviceIoControl = T_DeviceIoControl;
    t.CancelIo = T_CancelIo;
    t.GetOverlappedResult = T_GetOverlappedResult;
    t.CloseHandle = T_CloseHandle;
    t.GetFileSizeEx = T_GetFileSizeEx;
    t.GetFileAttributesW = T_GetFileAttributesW;
    t.HidD_GetPreparsedData = T_HidD_GetPreparsedData;
    t.HidD_FreePreparsedData = T_HidD_FreePreparsedData;
    t.HidD_GetAttributes = T_HidD_GetAttributes;
    t.HidP_GetCaps = T_HidP_GetCaps;
    t.HidD_GetInputReport = T_HidD_GetInputReport;
    t.HidD_SetOutputReport = T_HidD_SetOutputReport;
    t.WinUsb_Initialize = T_WinUsb_Initialize;
    t.WinUsb_ControlTransfer = T_WinUsb_ControlTransfer;
    t.WinUsb_Free = T_WinUsb_Free;
    t.CoCreateInstance = T_CoCreateInstance;
    t.RegisterDeviceNotificationW = T_RegisterDeviceNotificationW;
    t.UnregisterDeviceNotification = T_UnregisterDeviceNotification;
    t.GetVersionExW = T_GetVersionExW;
    t.CreateProcessW = T_CreateProcessW;
    t.GetExitCodeProcess = T_GetExitCodeProcess;
    t.Sleep = T_Sleep;
    t.WaitForSingleObject = T_WaitForSingleObject;
    t.MessageBoxW = T_MessageBoxW;
    t.GetOpenFileNameW = T_GetOpenFileNameW;
    t.DialogBoxParamW = T_DialogBoxParamW;
    t.OutputDebugStringW = T_OutputDebugStringW;
    // Not recorded: SetTimer / KillTimer (the dialog's blink timers) and
    // GetTickCount (polled in loops; the records carry their own times).
    return t;
}

// True when this process runs with administrator rights: an elevated token,
// or, on a system without elevation (Windows XP), membership of the
// Administrators group. When that cannot be told, the answer is yes.
bool RunsWithAdministratorRights() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL known = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    ::CloseHandle(token);
    if (known) return elevation.TokenIsElevated != 0;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    &administrators))
        return true;
    BOOL member = TRUE;
    if (!::CheckTokenMembership(nullptr, administrators, &member)) member = TRUE;
    ::FreeSid(administrators);
    return member != FALSE;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[1024];
    const DWORD n = ::GetFullPathNameW(path.c_str(), 1024, full, nullptr);
    return n > 0 && n < 1024 ? std::wstring(full, n) : std::wstring();
}

// The path the system resolved an open handle to (links followed), without
// the \\?\ prefix.
std::wstring FinalPath(HANDLE h) {
    wchar_t final[1024];
    const DWORD n = ::GetFinalPathNameByHandleW(h, final, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= 1024) return std::wstring();
    std::wstring p(final, n);
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + p.substr(7);
    if (p.compare(0, 4, L"\\\\?\\") == 0) return p.substr(4);
    return p;
}

// path lies inside folder (both full paths; letter case does not count).
bool Inside(const std::wstring& path, std::wstring folder) {
    if (folder.empty() || path.empty()) return false;
    if (folder.back() != L'\\') folder += L'\\';
    return path.size() > folder.size() && ::_wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0;
}

// The user's profile folder as the system resolves it, from the process's
// token (never from the environment, which whoever set CORVANE_TRACE controls).
std::wstring ProfileFolder() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
    wchar_t profile[1024];
    DWORD size = 1024;
    const BOOL ok = ::GetUserProfileDirectoryW(token, profile, &size);
    ::CloseHandle(token);
    if (!ok) return std::wstring();
    HANDLE folder = ::CreateFileW(profile, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring final = FinalPath(folder);
    ::CloseHandle(folder);
    return final;
}

// For a process with administrator rights: the trace file must lie inside
// the user's profile and be reached without a link (junction, symbolic link)
// on the way from the profile to it, so that no one who can only write in the
// profile makes the process write elsewhere.
bool AllowedForAdministrator(const std::wstring& full, const std::wstring& profile) {
    if (full.compare(0, 2, L"\\\\") == 0) return false;  // device and network paths
    if (!Inside(full, profile)) return false;
    for (size_t cut = full.find(L'\\', profile.size() + 1);; cut = full.find(L'\\', cut + 1)) {
        const std::wstring part = cut == std::wstring::npos ? full : full.substr(0, cut);
        const DWORD attributes = ::GetFileAttributesW(part.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        if (cut == std::wstring::npos) return true;
    }
}

void SayNotTraced(const OsApi* inner, const wchar_t* format, DWORD error) {
    wchar_t line[160];
    std::swprintf(line, 160, format, static_cast<unsigned long>(error));
    inner->OutputDebugStringW(line);
}

const wchar_t kOnlyInTheProfile[] =
    L"CORVANE_TRACE: with administrator rights only a file in the user's profile is traced\r\n";

bool Start(const OsApi* inner, const std::wstring& path) {
    // The variable may name any file, and a process with administrator
    // rights could then create or append to system files for whoever set it.
    const bool administrator = RunsWithAdministratorRights();
    std::wstring profile;
    if (administrator) {
        profile = ProfileFolder();
        if (!AllowedForAdministrator(FullPath(path), profile)) {
            SayNotTraced(inner, kOnlyInTheProfile, 0);
            return false;
        }
    }
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | (administrator ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SayNotTraced(inner, L"CORVANE_TRACE: the trace file cannot be opened (error %lu)\r\n", ::GetLastError());
        return false;
    }
    // A link put in place after the check above is caught here: the file the
    // system opened must still lie in the profile.
    if (administrator && !Inside(FinalPath(file), profile)) {
        ::CloseHandle(file);
        SayNotTraced(inner, kOnlyInTheProfile, 0);
        return false;
    }
    HANDLE lock = WriteLockFor(path);
    if (!lock) {
        ::CloseHandle(file);
        return false;
    }
    auto* s = new State;
    s->inner = inner;
    s->table = MakeTable(*inner);
    s->file = file;
    s->writeLock = lock;
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    s->ticksPerMs = static_cast<double>(f.QuadPart) / 1000.0;
    const LONGLONG now = Ticks();
    s->origin = ProcessOrigin(now);
    g = s;
    const std::wstring module = ThisModulePath();
    Record("TraceStart", now)
        .Num("format", kFormat)
        .Num("pid", ::GetCurrentProcessId())
        .Text("module", module.c_str(), module.size())
        .Text("table", inner->name)
        .Write();
    return true;
}

}  // namespace

const OsApi* CorvaneTracedTable(const OsApi* inner) {
    if (g) return &g->table;
    const DWORD error = ::GetLastError();
    const OsApi* table = inner;
    if (inner) {
        const std::wstring path = TracePath();
        if (!path.empty() && Start(inner, path)) table = &g->table;
    }
    ::SetLastError(error);
    return table;
}

void CorvaneTraceKsProperty(const wchar_t* devicePath, const GUID& set, ULONG id, ULONG flags, const void* sent,
                            ULONG sentLength, const void* received, ULONG receivedLength, HRESULT result) {
    if (!g) return;
    const DWORD error = ::GetLastError();
    Record r("KsProperty");
    r.Text("dev", devicePath);
    r.Key("property").Raw("{\"set\":" + GuidJson(set) + ",\"id\":" + std::to_string(id) + ",\"flags\":");
    char f[16];
    std::snprintf(f, sizeof f, "\"0x%08lx\"}", static_cast<unsigned long>(flags));
    r.Raw(f);
    r.Bytes("out", sent, sent ? sentLength : 0).Bytes("in", received, received ? receivedLength : 0);
    r.Num("count", receivedLength).Hex32("hr", static_cast<unsigned long>(result)).Write();
    ::SetLastError(error);
}

namespace ostrace {

std::string JsonString(const wchar_t* text, size_t length) {
    std::string out;
    AppendJsonString(out, text, length);
    return out;
}

std::string Hex(const void* data, size_t length) {
    std::string out;
    AppendHex(out, data, length);
    return out;
}

bool IsDevicePath(const wchar_t* path) {
    if (!path || path[0] != L'\\' || path[1] != L'\\' || (path[2] != L'?' && path[2] != L'.') || path[3] != L'\\')
        return false;
    const wchar_t* rest = path + 4;
    if (rest[0] == 0) return false;
    // \\?\C:\... is a file with the long-path prefix.
    if (rest[1] == L':') return false;
    // \\?\UNC\server\share\... is a file on a share.
    if ((rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
        (rest[2] == L'C' || rest[2] == L'c') && rest[3] == L'\\')
        return false;
    return true;
}

bool Active() { return g != nullptr; }

}  // namespace ostrace
