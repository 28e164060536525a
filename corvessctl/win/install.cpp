// install / uninstall: the same SetupAPI steps a device installer takes for
// a root-enumerated device. Windows-only code: wchar_t is 16-bit here.
#include "install.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <string>

#include <dravolux/control.h>

#include "../core/command.h"
#include "win_text.h"
#include "wine.h"

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
// How long install waits for the bus to start.
const DWORD BusStartSeconds = 60;

std::wstring ProgramFolder() { return FolderOf(ProgramPath()); }

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(length < size ? length : 0);
    return full.empty() ? path : full;
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
bool CreateRootDevice(const std::wstring& inf, std::wstring& instanceId, std::ostream& out, std::ostream& err) {
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
    instanceId = instance;
    out << "created device " << Narrow(instance) << "\n";
    return true;
}

// True when the control device exists, even if another program holds it.
bool ControlDeviceExists() {
    HANDLE handle = CreateFileW(DRAVOLUX_CONTROL_WIN32_NAME, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return true;
    }
    DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY;
}

// Waits for the bus's control device, a dot a second on one line: the PnP
// manager starts the bus after the installation returns, and a machine that
// is still starting up (a Wine prefix on its first run) takes its time.
bool WaitForControlDevice(std::ostream& out) {
    out << "waiting for the bus to start (up to " << BusStartSeconds << " s)" << std::flush;
    for (DWORD waited = 0;; waited += 100) {
        if (ControlDeviceExists()) {
            out << " up after " << (waited + 500) / 1000 << " s\n";
            return true;
        }
        if (waited >= BusStartSeconds * 1000) break;
        if (waited && waited % 1000 == 0) out << '.' << std::flush;
        Sleep(100);
    }
    out << " not up\n";
    return false;
}

// What to look at when the bus does not come up.
void ExplainNoBus(const std::wstring& instance, bool wine, std::ostream& err) {
    err << "corvessctl: install: the bus did not start within " << BusStartSeconds
        << " s: its control device \\\\.\\SerialCorvessControl has not appeared. Check:\n";
    if (wine) {
        err << "  - that the prefix has finished its first start (\"wine wineboot\" returns) and a driver host\n"
               "    (winedevice.exe) runs;\n"
               "  - the PnP manager's log: WINEDEBUG=+plugplay,+setupapi on the first Wine process after\n"
               "    \"wineserver -p\" (the driver host keeps that process's output);\n"
               "  - that C:\\windows\\system32\\drivers\\dravolux.sys is there.\n";
    } else {
        err << "  - Device Manager, System devices: \"ZARVIK Corvess Serial Ports Bus\" (" << Narrow(instance)
            << ") and the problem it reports;\n"
               "  - that test signing is on (\"bcdedit /enum {current}\" shows testsigning Yes) and that\n"
               "    dravolux.sys and dravolux.cat are signed with a trusted certificate;\n"
               "  - C:\\Windows\\INF\\setupapi.dev.log, the section for dravolux.inf.\n";
    }
    err << "The bus may still come up later: \"corvessctl list\" tells.\n";
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
    bool withPort = FileExists(portInf);

    std::string wine = WineVersion();
    if (!wine.empty()) {
        out << "running under Wine " << wine << "\n";
        if ((withPort && !PreparePackageForWine(portInf, out, err)) || !PreparePackageForWine(inf, out, err))
            return ExitRefused;
    }
    if (withPort && !StagePackage(portInf, out, err)) return ExitRefused;

    std::wstring instance;
    if (!CreateRootDevice(inf, instance, out, err)) return ExitRefused;
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
    if (!WaitForControlDevice(out)) {
        ExplainNoBus(instance, !wine.empty(), err);
        return ExitNoDevice;
    }
    out << "the bus is running\n";
    if (!wine.empty())
        out << "Wine " << wine << ": the bus lives as long as the wineserver; keep one running (\"wineserver -p\"),\n"
            << "or Wine stops its driver host a few seconds after the last program ends and the\n"
            << "managed ports go with it, as after a restart of Windows\n";
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
// original name under Wine, where what Wine keeps of them goes too.
void DeletePackages(bool wine, std::ostream& out, std::ostream& err) {
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
            WineLeftovers leftovers;
            if (wine) leftovers = WineLeftoversOf(folder + found.cFileName);
            if (SetupUninstallOEMInfW(found.cFileName, SUOI_FORCEDELETE, nullptr)) {
                out << "deleted driver package " << Narrow(found.cFileName) << "\n";
                DeleteWineLeftovers(leftovers, out, err);
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
    DeletePackages(!WineVersion().empty(), out, err);
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
