// Driver services: the images a test registers, loading a service for a
// device, and unloading drivers that own no device any more.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/registry.h"

#include <map>

#ifndef STATUS_DRIVER_UNABLE_TO_LOAD
#define STATUS_DRIVER_UNABLE_TO_LOAD ((NTSTATUS)0xC000026CL)
#endif

namespace hkpnp {

namespace {

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::map<std::u16string, PDRIVER_INITIALIZE> g_images;   // upper-case service -> entry
struct LoadedDriver {
    std::u16string Service;
    PDRIVER_OBJECT Driver;
};
std::vector<LoadedDriver> g_loaded;

PDRIVER_OBJECT FindLoaded(const std::u16string& service) {
    for (const LoadedDriver& d : g_loaded) {
        if (EqualNoCase(d.Service, service)) {
            return d.Driver;
        }
    }
    return nullptr;
}

}  // namespace

NTSTATUS LoadService(const std::u16string& service, PDRIVER_OBJECT* driver) {
    if ((*driver = FindLoaded(service))) {
        return STATUS_SUCCESS;
    }
    auto image = g_images.find(Upcase(service));
    if (image == g_images.end()) {
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    const std::u16string key = std::u16string(kServices) + service;
    if (!HkRegKeyExists(W(key))) {
        HkRegCreateKey(W(key));
        HkRegSetDword(W(key), L"Type", 1);          // kernel driver
        HkRegSetDword(W(key), L"Start", 3);         // demand start
        HkRegSetDword(W(key), L"ErrorControl", 1);
        const std::u16string imagePath = u"\\SystemRoot\\System32\\drivers\\" + service + u".sys";
        HkRegSetValue(W(key), L"ImagePath", REG_EXPAND_SZ, imagePath.c_str(),
                      static_cast<ULONG>((imagePath.size() + 1) * 2));
    }
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, W(key));
    NTSTATUS status = HkIoCreateDriver(W(service), image->second, &path, driver);
    if (NT_SUCCESS(status)) {
        g_loaded.push_back({service, *driver});
    }
    return status;
}

void UnloadIdleDrivers() {
    for (size_t i = 0; i < g_loaded.size();) {
        if (HkIoDevicesOfDriver(g_loaded[i].Driver).empty()) {
            PDRIVER_OBJECT driver = g_loaded[i].Driver;
            g_loaded.erase(g_loaded.begin() + static_cast<long>(i));
            HkIoUnloadDriver(driver);
        } else {
            ++i;
        }
    }
}

void ForgetLoadedDrivers() { g_loaded.clear(); }

}  // namespace hkpnp

using namespace hkpnp;

NTSTATUS HkPnpRegisterDriverImage(PCWSTR service, PDRIVER_INITIALIZE entry) {
    if (!service || !*service || !entry) {
        return STATUS_INVALID_PARAMETER;
    }
    EnsureInit();
    EngineGuard engine;
    g_images[Upcase(U16(service))] = entry;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT HkPnpLoadedDriver(PCWSTR service) {
    EngineGuard engine;
    return FindLoaded(U16(service));
}
