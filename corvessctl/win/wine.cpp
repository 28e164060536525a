#include "wine.h"

#include <windows.h>
#include <wincrypt.h>
#include <mscat.h>
#include <setupapi.h>

#include <vector>

#include "win_text.h"

namespace corvessctl {

namespace {

// Closes an INF on every way out.
struct InfFile {
    explicit InfFile(const std::wstring& path) : Handle(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr)) {}
    ~InfFile() {
        if (Handle != INVALID_HANDLE_VALUE) SetupCloseInfFile(Handle);
    }
    InfFile(const InfFile&) = delete;
    InfFile& operator=(const InfFile&) = delete;
    HINF Handle;
};

// The files the INF copies from its installation disk.
std::vector<std::wstring> SourceFiles(HINF inf) {
    std::vector<std::wstring> files;
    for (const wchar_t* section : {L"SourceDisksFiles", L"SourceDisksFiles.amd64"}) {
        INFCONTEXT line;
        for (BOOL found = SetupFindFirstLineW(inf, section, nullptr, &line); found;
             found = SetupFindNextLine(&line, &line)) {
            wchar_t name[MAX_PATH] = {};
            if (SetupGetStringFieldW(&line, 0, name, MAX_PATH, nullptr) && name[0]) files.push_back(name);
        }
    }
    return files;
}

// The catalog the INF names, or empty.
std::wstring CatalogOf(HINF inf) {
    wchar_t catalog[MAX_PATH] = {};
    for (const wchar_t* key : {L"CatalogFile.NTamd64", L"CatalogFile"})
        if (SetupGetLineTextW(nullptr, inf, L"Version", key, catalog, MAX_PATH, nullptr) && catalog[0]) return catalog;
    return std::wstring();
}

// The system INF folder, with its trailing backslash.
std::wstring InfFolder() {
    wchar_t windows[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(windows) + L"\\inf\\";
}

std::string Prefix() { return "Wine " + WineVersion() + ": "; }

// The catalog database of driver packages (DRIVER_ACTION_VERIFY), where
// SetupCopyOEMInf puts a package's catalog.
const GUID DriverCatalogs = {0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

}  // namespace

std::string WineVersion() {
    typedef const char*(__cdecl * VersionRoutine)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    VersionRoutine version = ntdll ? reinterpret_cast<VersionRoutine>(
                                         reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
                                   : nullptr;
    const char* text = version ? version() : nullptr;
    return text ? text : "";
}

bool PreparePackageForWine(const std::wstring& inf, std::ostream& out, std::ostream& err) {
    InfFile file(inf);
    std::wstring folder = InfFolder();
    if (file.Handle == INVALID_HANDLE_VALUE || folder.empty()) {
        DWORD error = GetLastError();
        err << "corvessctl: install: cannot read " << Narrow(inf) << ": " << ErrorText(error) << "\n";
        return false;
    }
    std::wstring catalog = CatalogOf(file.Handle);
    std::wstring path = FolderOf(inf) + catalog;
    if (!catalog.empty() && !FileExists(path)) {
        HANDLE created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            err << "corvessctl: install: Wine's setup needs the catalog " << Narrow(path)
                << " (an empty file will do) and it cannot be created: " << ErrorText(error) << "\n";
            return false;
        }
        CloseHandle(created);
        out << Prefix() << "created the empty catalog " << Narrow(path)
            << " (Wine's setup wants the catalog an INF names and checks no signature)\n";
    }
    for (const std::wstring& name : SourceFiles(file.Handle)) {
        std::wstring source = FolderOf(inf) + name;
        if (!CopyFileW(source.c_str(), (folder + name).c_str(), FALSE)) {
            DWORD error = GetLastError();
            err << "corvessctl: install: cannot copy " << Narrow(source) << " to " << Narrow(folder) << ": "
                << ErrorText(error) << "\n";
            return false;
        }
        out << Prefix() << "copied " << Narrow(name) << " to " << Narrow(folder)
            << " (after the first device installed from a package, Wine's setup takes the package's files from there)\n";
    }
    return true;
}

WineLeftovers WineLeftoversOf(const std::wstring& stagedInf) {
    WineLeftovers leftovers;
    InfFile file(stagedInf);
    std::wstring folder = InfFolder();
    if (file.Handle == INVALID_HANDLE_VALUE || folder.empty()) return leftovers;
    for (const std::wstring& name : SourceFiles(file.Handle)) leftovers.Files.push_back(folder + name);
    size_t dot = stagedInf.find_last_of(L'.');
    if (dot != std::wstring::npos) leftovers.Files.push_back(stagedInf.substr(0, dot) + L".pnf");
    leftovers.Catalog = CatalogOf(file.Handle);
    return leftovers;
}

void DeleteWineLeftovers(const WineLeftovers& leftovers, std::ostream& out, std::ostream& err) {
    for (const std::wstring& path : leftovers.Files) {
        if (!FileExists(path)) continue;
        if (DeleteFileW(path.c_str())) {
            out << Prefix() << "deleted " << Narrow(path) << "\n";
        } else {
            DWORD error = GetLastError();
            err << "corvessctl: uninstall: cannot delete " << Narrow(path) << ": " << ErrorText(error) << "\n";
        }
    }
    HCATADMIN admin = nullptr;
    if (leftovers.Catalog.empty() || !CryptCATAdminAcquireContext(&admin, &DriverCatalogs, 0)) return;
    if (CryptCATAdminRemoveCatalog(admin, leftovers.Catalog.c_str(), 0))
        out << Prefix() << "removed the catalog " << Narrow(leftovers.Catalog) << " from the catalog database\n";
    CryptCATAdminReleaseContext(admin, 0);
}

}  // namespace corvessctl
