// Tandemset: picks the Cypress driver package for the running Windows version
// and width, then starts, one after another and waiting for each, the
// driver-package tool and libwdi's installer for the two update-mode device
// identities. The launcher installs nothing itself and examines no outcome;
// its only output is the debugger lines.
#include "tandemset.h"

#include <stdarg.h>
#include <strsafe.h>
#include <wchar.h>

namespace {

const size_t kPathChars = MAX_PATH;         // program folder, tool paths
const size_t kCommandLineChars = MAX_PATH;  // every command line is cut at 259 characters
const size_t kRelativePathChars = 40;       // the longest package path below the program folder

// The package tool as it stands at the head of its command line (two blanks
// around each option), and the file that is started.
const wchar_t kPackageTool32[] = L"PnPutil.exe  -i  -a";
const wchar_t kPackageTool64[] = L"PnPutil7.exe  -i  -a";
const wchar_t kPackageToolFile32[] = L"PnPutil.exe";
const wchar_t kPackageToolFile64[] = L"PnPutil7.exe";

const wchar_t kInstaller32[] = L"wdi.exe";
const wchar_t kInstaller64[] = L"wdi_x64.exe";

// WinUSB (-t 0) for the update-mode device "orviDFU" of maker "orvi", both
// PIDs, with the installer's progress bar (-b). The updater opens exactly these
// two identities through WinUSB.
const wchar_t* const kInstallerFormats[] = {
    L"%s -n orviDFU -m orvi -v 0x4A7E -p 0xDF00 -t 0 -b",
    L"%s -n orviDFU -m orvi -v 0x4A7E -p 0xDF01 -t 0 -b",
};

struct PackageChoice {
    const wchar_t* relativePath;  // below the program folder
    const wchar_t* format;        // package tool text, package path
    const wchar_t* debugLine;     // or nullptr
};

// True when the launcher runs on 64-bit Windows. The shipped 32-bit program
// asks WOW64; a 64-bit build is no WOW64 process, yet runs only on 64-bit
// Windows and must pick the x64 package and tools as well.
bool IsWindows64Bit(const OsApi& os, ProcessWidth width) {
    if (width == ProcessWidth::Bits64) {
        return true;
    }
    // IsWow64Process is missing on the oldest 32-bit systems, which are
    // 32-bit Windows.
    BOOL wow64 = FALSE;
    HMODULE kernel = os.GetModuleHandleW(L"kernel32");
    PFN_IsWow64Process isWow64Process =
        kernel ? reinterpret_cast<PFN_IsWow64Process>(os.GetProcAddress(kernel, "IsWow64Process")) : nullptr;
    if (isWow64Process && !isWow64Process(GetCurrentProcess(), &wow64)) {
        wow64 = FALSE;
    }
    return wow64 != FALSE;
}

// The folder of the program's own file, its last backslash kept. A path that
// GetModuleFileNameW had to cut would name some other folder (a parent of ours,
// cut in the middle of a name), whose tools must not be started with our
// administrator rights, so it counts as no folder at all.
bool GetProgramFolder(const OsApi& os, wchar_t (&folder)[kPathChars]) {
    ZeroMemory(folder, sizeof(folder));
    DWORD length = os.GetModuleFileNameW(nullptr, folder, static_cast<DWORD>(kPathChars));
    wchar_t* lastBackslash = nullptr;
    if (length > 0 && length < kPathChars) {
        folder[length] = L'\0';
        lastBackslash = wcsrchr(folder, L'\\');
    }
    if (!lastBackslash) {
        folder[0] = L'\0';
        os.OutputDebugStringW(L"Program folder not found\n");
        return false;
    }
    lastBackslash[1] = L'\0';
    return true;
}

// The package and the form of the package tool's command line for a system
// version; false for a version that has no package.
bool ChoosePackage(const OSVERSIONINFOW& version, bool windows64, PackageChoice* choice) {
    const DWORD major = version.dwMajorVersion;
    const DWORD minor = version.dwMinorVersion;
    const wchar_t* win7 = windows64 ? L"Drivers\\win7\\x64\\cyusb3.inf" : L"Drivers\\win7\\x86\\cyusb3.inf";
    const wchar_t* win8 = windows64 ? L"Drivers\\win8\\x64\\cyusb3.inf" : L"Drivers\\win8\\x86\\cyusb3.inf";
    if (major == 10) {
        *choice = {win8, L"%s %s", nullptr};
    } else if (major == 6 && minor == 1) {
        *choice = {win7, L"%s %s", nullptr};
    } else if (major == 6 && minor == 2) {
        // Without a compatibility section in the manifest, Windows 8.1 and 10
        // report 6.2 as well.
        *choice = windows64 ? PackageChoice{win8, L"%s %s", L" 2 windows 8  64 Bit\n"}
                            : PackageChoice{win8, L"%s \"%s\"", L"2 windows 8  32 Bit\n"};
    } else if (major == 6 && minor == 3) {
        *choice = {win8, L"%s %s", windows64 ? L"3 windows 8  64 Bit\n" : L"3 windows 8  32 Bit\n"};
    } else {
        return false;
    }
    return true;
}

// Formats one command line into the 260-character buffer. A line that does not
// fit is cut at 259 characters and is not started: the cut would hand the
// package tool another path, or the installer another VID or PID, whose device
// would then get our driver.
bool FormatCommandLine(const OsApi& os, wchar_t (&line)[kCommandLineChars], const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT result = StringCchVPrintfW(line, kCommandLineChars, format, args);
    va_end(args);
    if (SUCCEEDED(result)) {
        return true;
    }
    wchar_t note[kCommandLineChars + 64];
    StringCchPrintfW(note, ARRAYSIZE(note), L"Command line too long, not started: %s\n", line);
    os.OutputDebugStringW(note);
    return false;
}

// The package tool's file: the one in the program folder, otherwise the
// system's. Never a bare name: with administrator rights, the system's search
// would also run a PnPutil.exe that anyone left in the current folder.
bool FindPackageTool(const OsApi& os, const wchar_t* folder, const wchar_t* file, wchar_t (&path)[kPathChars]) {
    if (SUCCEEDED(StringCchPrintfW(path, kPathChars, L"%s%s", folder, file))) {
        DWORD attributes = os.GetFileAttributesW(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return true;
        }
    }
    wchar_t system[kPathChars];
    UINT length = GetSystemDirectoryW(system, static_cast<UINT>(kPathChars));
    if (length == 0 || length >= kPathChars) {
        path[0] = L'\0';
        return false;
    }
    return SUCCEEDED(StringCchPrintfW(path, kPathChars, L"%s\\%s", system, file));
}

// Starts one tool and waits for it without a time limit. A tool that cannot be
// started is skipped; the caller goes on with its next step.
bool StartAndWait(const OsApi& os, const wchar_t* application, wchar_t* commandLine) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    if (!os.CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process)) {
        return false;
    }
    os.WaitForSingleObject(process.hProcess, INFINITE);
    os.CloseHandle(process.hThread);
    os.CloseHandle(process.hProcess);
    return true;
}

}  // namespace

int RunTandemset(const OsApi& os, ProcessWidth width) {
    wchar_t commandLine[kCommandLineChars];
    ZeroMemory(commandLine, sizeof(commandLine));

    const bool windows64 = IsWindows64Bit(os, width);
    const wchar_t* packageTool = windows64 ? kPackageTool64 : kPackageTool32;
    const wchar_t* packageToolFile = windows64 ? kPackageToolFile64 : kPackageToolFile32;
    const wchar_t* installerFile = windows64 ? kInstaller64 : kInstaller32;

    wchar_t folder[kPathChars];
    const bool haveFolder = GetProgramFolder(os, folder);

    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    PackageChoice choice = {};
    const bool knownVersion = os.GetVersionExW(&version) && ChoosePackage(version, windows64, &choice);
    if (knownVersion && choice.debugLine) {
        os.OutputDebugStringW(choice.debugLine);
    }

    // The Cypress package. On a version without a package nothing is started.
    if (knownVersion && haveFolder) {
        // The folder holds at most 259 characters, so the whole package path
        // fits here; the command line decides where it is cut.
        wchar_t package[kPathChars + kRelativePathChars];
        wchar_t tool[kPathChars];
        if (SUCCEEDED(StringCchPrintfW(package, ARRAYSIZE(package), L"%s%s", folder, choice.relativePath)) &&
            FormatCommandLine(os, commandLine, choice.format, packageTool, package) &&
            FindPackageTool(os, folder, packageToolFile, tool) && StartAndWait(os, tool, commandLine)) {
            // The package tool's own outcome is not examined.
            os.OutputDebugStringW(L"Driver installed successfully");
        }
    }

    os.Sleep(2000);

    // WinUSB for both update-mode identities. The installer is started by its
    // full path as well, so that a folder with blanks in its name cannot make
    // Windows try a shorter program name first.
    if (GetProgramFolder(os, folder)) {
        wchar_t installer[kPathChars + 16];
        StringCchPrintfW(installer, ARRAYSIZE(installer), L"%s%s", folder, installerFile);
        for (const wchar_t* format : kInstallerFormats) {
            if (FormatCommandLine(os, commandLine, format, installer)) {
                StartAndWait(os, installer, commandLine);
            }
        }
    }

    os.Sleep(1000);
    return 0;
}
