// Invariants of the bus records and of the COM3 name, checked by the
// reliability campaigns (tests and fuzz targets) between operations.
#pragma once

#include <string>
#include <vector>

#include <ntddk.h>

#include "dravolux.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/registry.h"
#include "pelmonix.h"

namespace reliability {

inline std::string Utf8(const std::u16string& text) { return HkUtf8(text); }

// Bus devices of the loaded dravolux driver that are not deleted: the ones
// attached over a PDO. Port records are not read to tell, since a port
// device may be in the middle of its creation.
inline std::vector<BusExtension*> LiveBuses()
{
    std::vector<BusExtension*> buses;
    PDRIVER_OBJECT driver = HkIoFindDriver(L"dravolux");
    if (driver == nullptr) {
        return buses;
    }
    for (PDEVICE_OBJECT device : HkIoAttachedDevicesOfDriver(driver)) {
        buses.push_back(BusOf(device));
    }
    return buses;
}

// True when Entry is linked on the list headed by Head.
inline bool OnList(const LIST_ENTRY* Head, const LIST_ENTRY* Entry)
{
    for (const LIST_ENTRY* at = Head->Flink; at != Head; at = at->Flink) {
        if (at == Entry) {
            return true;
        }
    }
    return false;
}

// Links of a list agree both ways; the length, or -1 when broken.
inline long ListLength(const LIST_ENTRY* Head)
{
    long length = 0;
    for (const LIST_ENTRY* at = Head->Flink; at != Head; at = at->Flink) {
        if (at->Flink->Blink != at || at->Blink->Flink != at || ++length > 100000) {
            return -1;
        }
    }
    return length;
}

// Every invariant of one bus's records, as a list of problems (empty: fine).
// Takes PortListLock like a control path.
inline std::vector<std::string> CheckBusRecords(BusExtension* bus)
{
    std::vector<std::string> problems;
    PortListHold hold(bus, TRUE);
    long length = ListLength(&bus->PortList);
    if (length < 0) {
        problems.push_back("PortList links are broken");
        return problems;
    }
    // Until the bus is surprise-removed or removed, PortCount is the length.
    PnpStateValue state = ReadPnpState(&bus->Header);
    bool counted = state != SurpriseRemoved && state != Deleted;
    if (counted && (ULONG)length != bus->PortCount) {
        problems.push_back("PortCount " + std::to_string(bus->PortCount) + " but PortList holds " +
                           std::to_string(length));
    }
    bool first = true;
    ULONG previous = 0;
    for (PLIST_ENTRY at = bus->PortList.Flink; at != &bus->PortList; at = at->Flink) {
        PortExtension* port = RECORD_OF(at, PortExtension, BusLink);
        if (!first && port->Index <= previous) {
            problems.push_back("PortList not ascending at index " + std::to_string(port->Index));
        }
        first = false;
        previous = port->Index;
        if (InterlockedCompareExchange(&port->OpenCount, 0, 0) < 0) {
            problems.push_back("negative OpenCount on port " + std::to_string(port->Index));
        }
        PortGroup* group = port->Group;
        if (group == nullptr) {
            continue;
        }
        PLIST_ENTRY own = port->IsControl ? &group->ControlList : &group->ClientList;
        PLIST_ENTRY peer = port->IsControl ? &group->ClientList : &group->ControlList;
        if (ListLength(&group->ClientList) < 0 || ListLength(&group->ControlList) < 0) {
            problems.push_back("group lists broken for port " + std::to_string(port->Index));
            continue;
        }
        if (port->OwnList != own || port->PeerList != peer) {
            problems.push_back("own/peer list of port " + std::to_string(port->Index) + " not its group's");
        }
        if (port->GroupLink.Flink != &port->GroupLink && !OnList(own, &port->GroupLink)) {
            problems.push_back("port " + std::to_string(port->Index) + " linked on a foreign group list");
        }
        long members = ListLength(&group->ClientList) + ListLength(&group->ControlList);
        if (group->ReferenceCount < members) {
            problems.push_back("group of port " + std::to_string(port->Index) + " holds " +
                               std::to_string(group->ReferenceCount) + " references for " +
                               std::to_string(members) + " members");
        }
    }
    LONG io = InterlockedCompareExchange(&bus->OutstandingIo, 0, 0);
    if (io < 0) {
        problems.push_back("negative activity count");
    }
    return problems;
}

// Problems of every live bus.
inline std::vector<std::string> CheckAllBuses()
{
    std::vector<std::string> problems;
    for (BusExtension* bus : LiveBuses()) {
        for (const std::string& problem : CheckBusRecords(bus)) {
            problems.push_back(problem);
        }
    }
    return problems;
}

// COM3 is a global name that leads to the legacy port or to a stand-in port
// device. It may be missing for a while (an open takes the name from the
// waiting client until the next one is ready) unless mustExist. No DOS name
// may land in the local directory of the session of a management program or
// an application whose thread the driver ran in.
inline bool Com3TargetAcceptable(std::string* why, bool mustExist = false)
{
    for (const auto& link : HkObListLocalDosLinks()) {
        *why = "DOS link " + Utf8(link.first) + " in a session's local directory";
        return false;
    }
    std::u16string target;
    if (!HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &target)) {
        *why = "COM3 has no DOS link";
        return !mustExist;
    }
    std::u16string prefix = reinterpret_cast<const char16_t*>(PELMONIX_DEVICE_PREFIX);
    if (target == u"\\Device\\Serial2" || target.rfind(prefix, 0) == 0) {
        return true;
    }
    *why = "COM3 leads to " + Utf8(target);
    return false;
}

// COM3 leads to \Device\Serial2 or to a stand-in function device that still
// exists, which stands on a port device that is still there (the stand-in
// drops the name before its device goes). Missing is fine for a moment.
// Safe while other threads change the link: a finding counts only when the
// link still names the same target after the look.
inline bool Com3LeadsToLivePort(std::string* why)
{
    std::u16string prefix = reinterpret_cast<const char16_t*>(PELMONIX_DEVICE_PREFIX);
    for (int attempt = 0; attempt < 100; attempt++) {
        std::u16string target;
        if (!HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &target) || target == u"\\Device\\Serial2") {
            return true;
        }
        if (target.rfind(prefix, 0) == 0 && HkObNameExists(reinterpret_cast<PCWSTR>(target.c_str()))) {
            return true;
        }
        std::u16string again;
        if (HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &again) && again == target) {
            *why = "COM3 leads to " + Utf8(target) + ", which is no port device that is still there";
            return false;
        }
    }
    return true;
}

// Once nothing moves: COM3 leads to \Device\Serial2 when no control port
// device of that name is present, else to the stand-in function device of
// a present client port device of it.
inline bool Com3Settled(std::string* why)
{
    bool managed = false;
    for (BusExtension* bus : LiveBuses()) {
        PortListHold hold(bus, TRUE);
        for (PLIST_ENTRY at = bus->PortList.Flink; at != &bus->PortList; at = at->Flink) {
            PortExtension* port = RECORD_OF(at, PortExtension, BusLink);
            managed = managed || (port->IsControl && port->Present && port->PortName != nullptr &&
                                  std::u16string(reinterpret_cast<const char16_t*>(port->PortName)) == u"COM3");
        }
    }
    std::u16string target;
    if (!HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &target)) {
        *why = "COM3 has no DOS link";
        return false;
    }
    if (!managed) {
        *why = "COM3 is not managed but leads to " + Utf8(target);
        return target == u"\\Device\\Serial2";
    }
    PDEVICE_OBJECT device = HkObLookupDevice(reinterpret_cast<PCWSTR>(target.c_str()));
    PDEVICE_OBJECT pdo = device != nullptr ? HkIoGetBottomDevice(device) : nullptr;
    *why = "COM3 is managed but leads to " + Utf8(target);
    return pdo != nullptr && pdo != device && pdo->DriverObject == HkIoFindDriver(L"dravolux") &&
           !HeaderOf(pdo)->BusRole && !PortOf(pdo)->IsControl && PortOf(pdo)->Present;
}

}  // namespace reliability
