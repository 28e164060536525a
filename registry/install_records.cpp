// Installation records of a port device: the setup class key, the device's
// driver key and its enumeration key, so it installs without a setup run.
#include "text_writer.h"
#include "dravolux.h"

namespace {

const WCHAR ClassGuidText[] = L"{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}";
const WCHAR EnumRoot[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\DRAVOLUX";

struct TextValue {
    PCWSTR Name;  // null: the key's default value
    PCWSTR Text;
};

const TextValue ClassValues[] = {
    {NULL, L"ZARVIK Corvess Serial Ports"},
    {L"Class", L"CorvessPorts"},
    {L"Icon", L"-23"},
    {L"NoInstallClass", L"1"},
    {L"SilentInstall", L"1"},
};

const TextValue DriverValues[] = {
    {L"ProviderName", L"ZARVIK Software"},
    {L"DriverDate", L"01-30-2003"},
    {L"DriverVersion", L"1.0.29.0"},
    {L"MatchingDeviceId", L"pelmonix"},
    {L"DriverDesc", L"ZARVIK Corvess Serial Port"},
};

const TextValue EnumValues[] = {
    {L"DeviceDesc", L"ZARVIK Corvess Serial Port"},
    {L"LocationInformation", L"Corvess Serial Ports Bus"},
    {L"ClassGUID", ClassGuidText},
    {L"Class", L"CorvessPorts"},
    {L"Mfg", L"ZARVIK Software"},
    {L"Service", L"pelmonix"},
};

// One-string multi-strings, with their double NUL.
const WCHAR CompatibleIds[] = L"*ZARVIKCompatibleDRAVOLUX\0";
const WCHAR HardwareIds[] = L"PELMONIX\0";
static_assert(sizeof(CompatibleIds) == 54 && sizeof(HardwareIds) == 20, "multi-string lengths");

constexpr ULONG DeviceCapabilities = 0xB4;  // removable, unique id, silent install, surprise removal ok

// Working block: the key path in the first half, value text in the second.
constexpr ULONG HalfUnits = 256;
constexpr ULONG WorkingBlock = 2 * HalfUnits * static_cast<ULONG>(sizeof(WCHAR));

// Writes one REG_SZ value with its NUL.
RESIDENT_CODE NTSTATUS WriteText(ULONG RelativeTo, PCWSTR Path, PCWSTR Name, PCWSTR Text)
{
    ULONG Bytes = (TextUnits(Text) + 1) * sizeof(WCHAR);
    return RtlWriteRegistryValue(RelativeTo, Path, Name, REG_SZ, const_cast<PWSTR>(Text), Bytes);
}

RESIDENT_CODE NTSTATUS WriteTable(ULONG RelativeTo, PCWSTR Path, const TextValue* Table, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i) {
        NTSTATUS Status = WriteText(RelativeTo, Path, Table[i].Name, Table[i].Text);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    return STATUS_SUCCESS;
}

RESIDENT_CODE NTSTATUS WriteDword(PCWSTR Path, PCWSTR Name, ULONG Value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Path, Name, REG_DWORD, &Value, sizeof(Value));
}

// The friendly name that fits the port's role and opener. An open replaces
// and frees ImagePath under the owning bus's PortListLock, so the text is
// formatted under it.
RESIDENT_CODE void FormatFriendlyName(TextWriter* Text, PortExtension* Port)
{
    PortListHold Hold(BusOf(Port->OwningBus));
    PCWSTR Name = Port->PortName != NULL ? Port->PortName : L"";
    if (Port->IsControl) {
        TextAppend(Text, L"ZARVIK Corvess Serial Port (");
        TextAppend(Text, Name);
        TextAppend(Text, L")");
    } else if (Port->ImagePath != NULL) {
        TextAppend(Text, L"Serial Port \"");
        TextAppend(Text, Name);
        TextAppend(Text, L"\" opened by \"");
        TextAppend(Text, Port->ImagePath);
        TextAppend(Text, L"\" (Pid: ");
        TextAppendDecimal(Text, reinterpret_cast<ULONG_PTR>(Port->ProcessId), 1);
        TextAppend(Text, L")");
    } else {
        TextAppend(Text, L"Serial Port \"");
        TextAppend(Text, Name);
        TextAppend(Text, L"\" waiting for open");
    }
}

// Keys 1 to 3 and their values, relative to the Control key.
RESIDENT_CODE NTSTATUS WriteClassKeys(TextWriter* Path, ULONG Index)
{
    TextAppend(Path, L"Class");
    NTSTATUS Status = RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, Path->Buffer);
    if (NT_SUCCESS(Status)) {
        TextAppend(Path, L"\\");
        TextAppend(Path, ClassGuidText);
        Status = RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, Path->Buffer);
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteTable(RTL_REGISTRY_CONTROL, Path->Buffer, ClassValues, RTL_NUMBER_OF(ClassValues));
    }
    if (NT_SUCCESS(Status)) {
        TextAppend(Path, L"\\");
        TextAppendDecimal(Path, Index, 4);
        Status = RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, Path->Buffer);
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteTable(RTL_REGISTRY_CONTROL, Path->Buffer, DriverValues, RTL_NUMBER_OF(DriverValues));
    }
    return Status;
}

// Keys 4 to 6, with their path left in Path.
RESIDENT_CODE NTSTATUS CreateEnumKeys(TextWriter* Path, ULONG Index)
{
    TextClear(Path);
    TextAppend(Path, EnumRoot);
    NTSTATUS Status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, Path->Buffer);
    if (NT_SUCCESS(Status)) {
        TextAppend(Path, L"\\DEVICES");
        Status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, Path->Buffer);
    }
    if (NT_SUCCESS(Status)) {
        TextAppend(Path, L"\\");
        TextAppendDecimal(Path, Index, 4);
        Status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, Path->Buffer);
    }
    return Status;
}

// Values of the enumeration key, in order.
RESIDENT_CODE NTSTATUS WriteEnumValues(PCWSTR Path, TextWriter* Text, PortExtension* Port)
{
    NTSTATUS Status = WriteTable(RTL_REGISTRY_ABSOLUTE, Path, EnumValues, RTL_NUMBER_OF(EnumValues));
    if (NT_SUCCESS(Status)) {
        TextClear(Text);
        TextAppend(Text, ClassGuidText);
        TextAppend(Text, L"\\");
        TextAppendDecimal(Text, Port->Index, 4);
        Status = WriteText(RTL_REGISTRY_ABSOLUTE, Path, L"Driver", Text->Buffer);
    }
    if (NT_SUCCESS(Status)) {
        TextClear(Text);
        FormatFriendlyName(Text, Port);
        Status = WriteText(RTL_REGISTRY_ABSOLUTE, Path, L"FriendlyName", Text->Buffer);
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Path, L"CompatibleIDs", REG_MULTI_SZ,
                                       const_cast<PWSTR>(CompatibleIds), sizeof(CompatibleIds));
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Path, L"HardwareID", REG_MULTI_SZ,
                                       const_cast<PWSTR>(HardwareIds), sizeof(HardwareIds));
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteDword(Path, L"Capabilities", DeviceCapabilities);
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteDword(Path, L"UINumber", Port->Index);
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteDword(Path, L"ConfigFlags", 0);
    }
    return Status;
}

}  // namespace

RESIDENT_CODE NTSTATUS WriteInstallRecords(PortExtension* Port)
{
    PWCHAR Block = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, WorkingBlock, DVX_TAG));
    if (Block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TextWriter Path;
    TextWriter Text;
    TextInit(&Path, Block, HalfUnits);
    TextInit(&Text, Block + HalfUnits, HalfUnits);

    NTSTATUS Status = WriteClassKeys(&Path, Port->Index);
    if (NT_SUCCESS(Status)) {
        Status = CreateEnumKeys(&Path, Port->Index);
    }
    if (NT_SUCCESS(Status)) {
        Status = WriteEnumValues(Path.Buffer, &Text, Port);
    }
    ExFreePoolWithTag(Block, DVX_TAG);
    return Status;
}
