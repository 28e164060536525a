// Fuzz target: the input is a sequence of operations on a whole host machine
// (the bus as a root device, the stand-in function driver, a legacy COM3):
// control requests with arbitrary codes, lengths and contents to the control
// device and to port devices (also through handles whose device is gone),
// creates, opens and closes from several processes, clock advances, PnP
// pumping, disable and enable, surprise removal, sleep and wake.
//
// After every request: no byte beyond what the driver reported is touched,
// and no unwritten system buffer byte comes back. After every operation the
// bus records are consistent. At the end the machine shuts down with nothing
// left over. Any violation aborts (a verifier stop aborts by itself).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <ntddk.h>

#include <dravolux/control.h>

#include "hk/clock.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/process.h"
#include "hk/reset.h"
#include "hk/user.h"
#include "legacy_serial.h"
#include "pelmonix.h"
#include "reliability/records_check.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr size_t MaxOperations = 64;
constexpr ULONG MaxBuffer = 2048;
constexpr uint8_t Canary = 0xCB;
constexpr size_t Processes = 3;
constexpr size_t HandleSlots = 6;

[[noreturn]] void Finding(const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    std::fprintf(stderr, "FINDING: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

// Reads the input a piece at a time; zeros once it runs out.
struct Reader {
    const uint8_t* Data;
    size_t Size;
    size_t At = 0;
    bool Done() const { return At >= Size; }
    uint8_t Byte() { return At < Size ? Data[At++] : 0; }
    uint16_t Word() { return (uint16_t)(Byte() | (Byte() << 8)); }
    uint32_t Dword() { return (uint32_t)Word() | ((uint32_t)Word() << 16); }
    void Bytes(void* to, size_t length)
    {
        uint8_t* out = static_cast<uint8_t*>(to);
        for (size_t i = 0; i < length; i++) {
            out[i] = Byte();
        }
    }
};

struct Slot {
    HANDLE Handle = nullptr;
    size_t Process = 0;
};

struct Machine {
    PDRIVER_OBJECT Serial = nullptr;
    HkDeviceNode* Bus = nullptr;
    PEPROCESS Process[Processes] = {};
    Slot Slots[HandleSlots];
    bool Unplugged = false;
    bool Asleep = false;
};

const uint32_t KnownCodes[] = {dravolux::IoctlCreatePort, dravolux::IoctlRemovePort, dravolux::IoctlRemoveAllPorts,
                               dravolux::IoctlQueryPorts, dravolux::IoctlReloadPermissions,
                               // serial requests a port device serves
                               0x1B0000 | (1 << 2), 0x1B0000 | (23 << 2), 0x1B0000 | (29 << 2)};

uint32_t PickCode(Reader& in)
{
    uint8_t choice = in.Byte();
    if (choice < 200) {
        return KnownCodes[choice % (sizeof KnownCodes / sizeof KnownCodes[0])];
    }
    if (choice < 230) {
        // A neighbour of a known code: other function, method or access bits.
        return KnownCodes[choice % 5] ^ (in.Byte() & 0x3) ^ ((uint32_t)in.Byte() << 2) ^ ((uint32_t)(in.Byte() & 3) << 14);
    }
    return in.Dword();
}

// A request through a user handle with every reply byte checked.
void CheckedControl(Machine& m, Slot& slot, Reader& in)
{
    uint32_t code = PickCode(in);
    ULONG inLength = in.Word() % (MaxBuffer + 1);
    ULONG outLength = in.Word() % (MaxBuffer + 1);
    std::vector<uint8_t> input(inLength);
    // Well-formed requests are likelier to reach deep paths: a PortRequest
    // with a plausible name, or the query type, unless the input says not.
    uint8_t shape = in.Byte();
    if (shape < 100 && inLength >= sizeof(dravolux::PortRequest)) {
        dravolux::PortRequest request;
        std::memset(&request, 0, sizeof request);
        request.Size = shape < 90 ? sizeof request : in.Dword();
        const char* names[] = {"COM3", "COM4", "com3", "COM", "COM3 ", "LPT1"};
        const char* name = names[in.Byte() % 6];
        for (size_t i = 0; name[i]; i++) {
            request.Name[i] = (uint16_t)name[i];
        }
        std::memcpy(input.data(), &request, sizeof request);
    } else if (shape < 140 && inLength >= 4) {
        uint32_t type = shape < 130 ? dravolux::QueryAllPorts : in.Dword();
        std::memcpy(input.data(), &type, 4);
    } else {
        in.Bytes(input.data(), inLength);
    }
    std::vector<uint8_t> output(outLength + 64, Canary);
    ULONG returned = 0xFFFFFFFF;
    NTSTATUS status;
    {
        HkProcessContext context(m.Process[slot.Process]);
        status = HkUserDeviceIoControl(slot.Handle, code, inLength ? input.data() : nullptr, inLength,
                                       outLength ? output.data() : nullptr, outLength, &returned);
    }
    if (status == STATUS_PENDING) {
        Finding("a synchronous request came back pending", code);
    }
    if (returned > outLength) {
        Finding("reply longer than the output buffer", returned, outLength);
    }
    if (NT_ERROR(status) && returned != 0) {
        Finding("bytes returned with an error status", code, returned);
    }
    for (size_t i = returned; i < output.size(); i++) {
        if (output[i] != Canary) {
            Finding("output byte beyond the reply changed", code, i);
        }
    }
    // A METHOD_BUFFERED reply comes from the system buffer, new pool filled
    // with HK_POOL_FILL: eight aligned fill bytes beyond the input mean the
    // driver returned bytes it never wrote.
    if ((code & 3) == METHOD_BUFFERED) {
        for (size_t i = (inLength + 7) & ~(size_t)7; i + 8 <= returned; i += 8) {
            bool fill = true;
            for (size_t k = 0; k < 8 && fill; k++) {
                fill = output[i + k] == HK_POOL_FILL;
            }
            if (fill) {
                Finding("unwritten system buffer bytes returned", code, i);
            }
        }
    }
}

void CheckRecords()
{
    std::vector<std::string> problems = reliability::CheckAllBuses();
    if (!problems.empty()) {
        std::fprintf(stderr, "FINDING: %s\n", problems.front().c_str());
        std::abort();
    }
}

void CloseSlot(Machine& m, Slot& slot)
{
    if (slot.Handle == nullptr) {
        return;
    }
    HkProcessContext context(m.Process[slot.Process]);
    HkUserCloseHandle(slot.Handle);
    slot.Handle = nullptr;
}

void RunClock(ULONG64 milliseconds)
{
    HkPnpRunPending();
    for (ULONG64 passed = 0; passed < milliseconds; passed += 10) {
        HkClockAdvance(10);
        HkPnpRunPending();
    }
}

const WCHAR* const Images[Processes] = {L"C:\\Program Files\\ZARVIK\\corvessctl.exe", L"C:\\Tools\\terminal.exe",
                                        L"C:\\Tools\\logger.exe"};

bool Boot(Machine& m)
{
    UNICODE_STRING serialKey;
    RtlInitUnicodeString(&serialKey, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
    if (!NT_SUCCESS(HkIoCreateDriver(L"Serial", LegacySerialEntry, &serialKey, &m.Serial))) {
        Finding("legacy serial driver did not load");
    }
    HkPnpRegisterDriverImage(L"dravolux", DriverEntry);
    HkPnpRegisterDriverImage(PELMONIX_SERVICE_NAME, PelmonixEntry);
    for (size_t i = 0; i < Processes; i++) {
        m.Process[i] = HkPsCreateProcess(Images[i]);
    }
    HkRegSetDword(L"\\Registry\\Machine\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions",
                  L"C:\\Tools\\terminal.exe", 5);
    if (!NT_SUCCESS(HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &m.Bus))) {
        Finding("the bus did not start");
    }
    HkPnpRunPending();
    return true;
}

void Operate(Machine& m, Reader& in)
{
    uint8_t op = in.Byte();
    Slot& slot = m.Slots[in.Byte() % HandleSlots];
    switch (op % 12) {
    case 0:  // open the control device (or a port) into the slot
    case 1: {
        CloseSlot(m, slot);
        slot.Process = in.Byte() % Processes;
        HkProcessContext context(m.Process[slot.Process]);
        const WCHAR* name = op % 12 == 0 ? DRAVOLUX_CONTROL_WIN32_NAME : L"\\\\.\\COM3";
        if (!NT_SUCCESS(HkUserCreateFile(name, &slot.Handle))) {
            slot.Handle = nullptr;
        }
        break;
    }
    case 2:
    case 3:
    case 4:
        if (slot.Handle != nullptr) {
            CheckedControl(m, slot, in);
        }
        break;
    case 5:
        CloseSlot(m, slot);
        break;
    case 6:
        RunClock(in.Byte() * 4);
        break;
    case 7:
        HkPnpRunPending();
        break;
    case 8:
        if (!m.Unplugged) {
            if (HkPnpGetState(m.Bus) == HkPnpState::Disabled) {
                HkPnpEnable(m.Bus);
            } else {
                HkPnpQueryRemoveAndRemove(m.Bus);
            }
            HkPnpRunPending();
        }
        break;
    case 9:
        if (!m.Unplugged && in.Byte() < 32) {
            m.Unplugged = true;
            HkPnpSurpriseRemove(m.Bus);
            HkPnpRunPending();
        }
        break;
    case 10:
        if (m.Asleep) {
            HkPoWake();
        } else {
            HkPoSleep(PowerSystemSleeping3);
        }
        m.Asleep = !m.Asleep;
        HkPnpRunPending();
        break;
    case 11:
        if (!m.Unplugged && in.Byte() < 64) {
            HkPnpRebalance(m.Bus);
            HkPnpRunPending();
        }
        break;
    }
}

void Shutdown(Machine& m)
{
    for (Slot& slot : m.Slots) {
        CloseSlot(m, slot);
    }
    if (m.Asleep) {
        HkPoWake();
    }
    RunClock(1000);
    CheckRecords();
    if (!NT_SUCCESS(HkPnpShutdownTree())) {
        Finding("the tree did not shut down");
    }
    RunClock(1000);
    HkIoUnloadDriver(m.Serial);
    for (PEPROCESS process : m.Process) {
        HkPsDestroyProcess(process);
    }
    HkPoolUsage pool = HkPoolOutstanding();
    if (pool.Blocks) {
        HkPoolReportLeaks();
        Finding("pool left over", pool.Blocks, pool.Bytes);
    }
    if (HkIoLiveDeviceCount()) {
        Finding("device objects left over", HkIoLiveDeviceCount());
    }
    if (HkObReportLeakedHandles()) {
        Finding("handles left over");
    }
    if (HkObNameExists(L"\\GLOBAL??\\SerialCorvessControl")) {
        Finding("control link left over");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    HkReset();
    Machine m;
    Boot(m);
    Reader in{data, size};
    for (size_t n = 0; n < MaxOperations && !in.Done(); n++) {
        Operate(m, in);
        CheckRecords();
    }
    Shutdown(m);
    HkReset();
    return 0;
}
