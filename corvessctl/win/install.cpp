// install / uninstall: the same SetupAPI steps a device installer takes for
// a root-enumerated device. Windows-only code: wchar_t is 16-bit here.
#include "install.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <string>

#include <dravolux/control.h>

#include "../core/command.h"

namespace corvessctl {

namespace {

const wchar_t BusHardwareId[] = L"DRAVOLUX";
const wchar_t PortHardwareId[] = L"PELMONIX";
const wchar_t BusInfName[] = L"dravolux.inf";
const wchar_t PortInfName[] = L"pelmonix.inf";
// The catalog names identify our packages among the installed oem*.inf.
const wchar_t BusCatalog[] = L"dravolux.cat";
const wchar_t PortCatalog[] = L"pelmonix.cat";
// Setup class names and device instance IDs are bounded by the platform.
const DWORD ClassNameUnits = 32;
const DWORD InstanceIdUnits = 200;

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

// Command-line arguments arrive in the ANSI code page.
std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

// "reason (code N)" for a Win32 error.
std::string ErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    std::string result = text.empty() ? "error" : Narrow(text);
    if (error == ERROR_ACCESS_DENIED) result += " (run from an elevated prompt)";
    return result + " (Win32 error " + std::to_string(error) + ")";
}

// The folder of this program, with a trailing backslash.
std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(length < size ? length : 0);
    return full.empty() ? path : full;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Destroys a device information set on every way out.
struct DeviceSet {
    explicit DeviceSet(HDEVINFO set) : Set(set) {}
    ~DeviceSet() {
        if (Set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(Set);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO Set;
};

// True when the device's hardware IDs include `id` (case-insensitive).
bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device, const wchar_t* id) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
    if (size == 0) return false;
    std::wstring ids(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<BYTE*>(&ids[0]), size, nullptr) ||
        type != REG_MULTI_SZ)
        return false;
    for (const wchar_t* entry = ids.c_str(); *entry; entry += lstrlenW(entry) + 1)
        if (lstrcmpiW(entry, id) == 0) return true;
    return false;
}

// Copies an INF into the system's INF folder the way "pnputil /add-driver"
// does, so that devices with its hardware IDs find it when they appear.
bool StagePackage(const std::wstring& inf, std::ostream& out, std::ostream& err) {
    wchar_t staged[MAX_PATH] = {};
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, staged, MAX_PATH, nullptr, nullptr)) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot add the driver package " << Narrow(inf) << ": " << ErrorText(error)
            << "\n";
        return false;
    }
    out << "added driver package " << Narrow(inf) << " as " << Narrow(staged) << "\n";
    return true;
}

// Creates the root-enumerated device ROOT\<CLASS>\nnnn with hardware ID
// DRAVOLUX and registers it with the PnP manager.
bool CreateRootDevice(const std::wstring& inf, std::ostream& out, std::ostream& err) {
    GUID classGuid;
    wchar_t className[ClassNameUnits] = {};
    if (!SetupDiGetINFClassW(inf.c_str(), &classGuid, className, ClassNameUnits, nullptr)) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot read the device class from " << Narrow(inf) << ": " << ErrorText(error)
            << "\n";
        return false;
    }
    DeviceSet devices(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (devices.Set == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot create a device list: " << ErrorText(error) << "\n";
        return false;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    // Room for the ID and the two NULs of a multi-string.
    wchar_t hardwareIds[sizeof BusHardwareId / sizeof(wchar_t) + 1] = {};
    lstrcpyW(hardwareIds, BusHardwareId);
    if (!SetupDiCreateDeviceInfoW(devices.Set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyW(devices.Set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareIds), sizeof hardwareIds)) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot create the device: " << ErrorText(error) << "\n";
        return false;
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.Set, &device)) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot register the device: " << ErrorText(error) << "\n";
        return false;
    }
    wchar_t instance[InstanceIdUnits] = {};
    SetupDiGetDeviceInstanceIdW(devices.Set, &device, instance, InstanceIdUnits, nullptr);
    out << "created device " << Narrow(instance) << "\n";
    return true;
}

// Waits a little for the bus's control device: the PnP manager starts the
// bus after the driver is installed, not always before the call returns.
bool WaitForControlDevice() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE handle = CreateFileW(DRAVOLUX_CONTROL_WIN32_NAME, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return true;
        }
        // Present but held by another program.
        if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION ||
            GetLastError() == ERROR_BUSY)
            return true;
        Sleep(100);
    }
    return false;
}

int Install(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() > 2) {
        err << "corvessctl: install: expected at most one INF path\n" << SetupUsageText();
        return ExitUsage;
    }
    std::wstring inf = args.size() == 2 ? FullPath(Widen(args[1])) : ProgramFolder() + BusInfName;
    if (!FileExists(inf)) {
        err << "corvessctl: install: " << Narrow(inf) << " does not exist\n";
        return ExitUsage;
    }
    // The port function driver's package, when it sits next to the bus's.
    std::wstring portInf = FolderOf(inf) + PortInfName;
    if (FileExists(portInf) && !StagePackage(portInf, out, err)) return ExitRefused;

    if (!CreateRootDevice(inf, out, err)) return ExitRefused;
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, BusHardwareId, inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot install " << Narrow(inf) << " on the device: " << ErrorText(error)
            << "\n(the device stays registered; \"corvessctl uninstall\" removes it)\n";
        return ExitRefused;
    }
    out << "installed " << Narrow(inf) << "\n";
    if (reboot) {
        out << "restart Windows to finish the installation\n";
        return ExitOk;
    }
    if (!WaitForControlDevice()) {
        err << "corvessctl: install: the bus was installed but its control device has not appeared\n";
        return ExitNoDevice;
    }
    out << "the bus is running\n";
    return ExitOk;
}

// True when the INF is one of our packages: it names our catalog.
bool IsOurPackage(const std::wstring& path) {
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) return false;
    wchar_t catalog[MAX_PATH] = {};
    bool ours = SetupGetLineTextW(nullptr, inf, L"Version", L"CatalogFile", catalog, MAX_PATH, nullptr) &&
                (lstrcmpiW(catalog, BusCatalog) == 0 || lstrcmpiW(catalog, PortCatalog) == 0);
    SetupCloseInfFile(inf);
    return ours;
}

// Removes the installed copies of our packages: oemNN.inf on Windows, the
// original name under Wine.
void DeletePackages(std::ostream& out, std::ostream& err) {
    wchar_t windows[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wstring folder = std::wstring(windows) + L"\\inf\\";
    for (const wchar_t* pattern : {L"oem*.inf", BusInfName, PortInfName}) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            if (!IsOurPackage(folder + found.cFileName)) continue;
            if (SetupUninstallOEMInfW(found.cFileName, SUOI_FORCEDELETE, nullptr)) {
                out << "deleted driver package " << Narrow(found.cFileName) << "\n";
            } else {
                DWORD error = GetLastError();
                err << "corvessctl: uninstall: cannot delete the driver package " << Narrow(found.cFileName)
                    << ": " << ErrorText(error) << "\n";
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
}

// Removes every device with the hardware ID, present or not. Returns the
// number removed, or -1 on a failure already reported.
int RemoveDevices(const wchar_t* hardwareId, std::ostream& out, std::ostream& err) {
    DeviceSet devices(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (devices.Set == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        err << "corvessctl: uninstall: cannot list the devices: " << ErrorText(error) << "\n";
        return -1;
    }
    int removed = 0;
    bool failed = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.Set, index, &device); ++index) {
        if (!HasHardwareId(devices.Set, device, hardwareId)) continue;
        wchar_t instance[InstanceIdUnits] = {};
        SetupDiGetDeviceInstanceIdW(devices.Set, &device, instance, InstanceIdUnits, nullptr);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, devices.Set, &device)) {
            DWORD error = GetLastError();
            err << "corvessctl: uninstall: cannot remove " << Narrow(instance) << ": " << ErrorText(error) << "\n";
            failed = true;
            continue;
        }
        out << "removed device " << Narrow(instance) << "\n";
        ++removed;
    }
    return failed ? -1 : removed;
}

int Uninstall(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << "corvessctl: uninstall: takes no arguments\n" << SetupUsageText();
        return ExitUsage;
    }
    int buses = RemoveDevices(BusHardwareId, out, err);
    if (buses < 0) return ExitRefused;
    // Port devices the bus reported and the PnP manager kept as records.
    int ports = RemoveDevices(PortHardwareId, out, err);
    if (ports < 0) return ExitRefused;
    if (buses == 0) out << "no DRAVOLUX device was installed\n";
    DeletePackages(out, err);
    return ExitOk;
}

}  // namespace

const char* SetupUsageText() {
    return "  install [INF]     install the bus as a root-enumerated device (INF: dravolux.inf\n"
           "                    next to this program; pelmonix.inf beside it is added too)\n"
           "  uninstall         remove the bus device and the driver packages\n";
}

bool RunSetupCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, int& code) {
    if (args.empty()) return false;
    if (args[0] == "install") {
        code = Install(args, out, err);
        return true;
    }
    if (args[0] == "uninstall") {
        code = Uninstall(args, out, err);
        return true;
    }
    return false;
}

}  // namespace corvessctl
