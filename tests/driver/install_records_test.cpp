// Installation records: the three keys of a port device with every value,
// type and length, and the friendly name in its three forms.
#include "control_fixture.h"

namespace drvtest {
namespace {

const char16_t ClassKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}";

class InstallRecordsTest : public ControlFixture {
protected:
    // A record that only WriteInstallRecords reads.
    PortExtension Fake{};

    void SetUp() override
    {
        ControlFixture::SetUp();
        HkRegCreateKey(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
    }

    static std::vector<UCHAR> Sz(const std::u16string& Text)
    {
        std::vector<UCHAR> Bytes;
        for (char16_t c : Text) {
            Bytes.push_back(c & 0xFF);
            Bytes.push_back(c >> 8);
        }
        Bytes.push_back(0);
        Bytes.push_back(0);
        return Bytes;
    }

    static std::vector<UCHAR> Dword(ULONG Value)
    {
        return {UCHAR(Value), UCHAR(Value >> 8), UCHAR(Value >> 16), UCHAR(Value >> 24)};
    }

    static void ExpectValue(const std::u16string& Key, const char16_t* Name, ULONG Type,
                            const std::vector<UCHAR>& Data)
    {
        ULONG Got = 0;
        std::vector<UCHAR> Bytes;
        ASSERT_EQ(HkRegGetValue(W(Key.c_str()), Name ? W(Name) : nullptr, &Got, &Bytes), STATUS_SUCCESS)
            << (Name ? std::string(Name, Name + std::char_traits<char16_t>::length(Name)) : "(default)");
        EXPECT_EQ(Got, Type);
        EXPECT_EQ(Bytes, Data);
    }

    static std::u16string Str(const char* Text) { return std::u16string(Text, Text + strlen(Text)); }
};

TEST_F(InstallRecordsTest, ControlPortWithIndexOneGetsAllThreeKeys)
{
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));
    ASSERT_EQ(Control->Index, 1u);

    std::u16string Class = ClassKey;
    ExpectValue(Class, nullptr, REG_SZ, Sz(u"ZARVIK Corvess Serial Ports"));
    ExpectValue(Class, u"Class", REG_SZ, Sz(u"CorvessPorts"));
    ExpectValue(Class, u"Icon", REG_SZ, Sz(u"-23"));
    ExpectValue(Class, u"NoInstallClass", REG_SZ, Sz(u"1"));
    ExpectValue(Class, u"SilentInstall", REG_SZ, Sz(u"1"));
    EXPECT_EQ(HkRegEnumValues(W(Class.c_str())).size(), 5u);

    std::u16string Driver = Class + u"\\0001";
    ExpectValue(Driver, u"ProviderName", REG_SZ, Sz(u"ZARVIK Software"));
    ExpectValue(Driver, u"DriverDate", REG_SZ, Sz(u"01-30-2003"));
    ExpectValue(Driver, u"DriverVersion", REG_SZ, Sz(u"1.0.29.0"));
    ExpectValue(Driver, u"MatchingDeviceId", REG_SZ, Sz(u"pelmonix"));
    ExpectValue(Driver, u"DriverDesc", REG_SZ, Sz(u"ZARVIK Corvess Serial Port"));
    EXPECT_EQ(HkRegEnumValues(W(Driver.c_str())), (std::vector<std::u16string>{
                                                        u"ProviderName", u"DriverDate", u"DriverVersion",
                                                        u"MatchingDeviceId", u"DriverDesc"}));

    std::u16string Enum = EnumKey(1);
    ExpectValue(Enum, u"DeviceDesc", REG_SZ, Sz(u"ZARVIK Corvess Serial Port"));
    ExpectValue(Enum, u"LocationInformation", REG_SZ, Sz(u"Corvess Serial Ports Bus"));
    ExpectValue(Enum, u"ClassGUID", REG_SZ, Sz(u"{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}"));
    ExpectValue(Enum, u"Class", REG_SZ, Sz(u"CorvessPorts"));
    ExpectValue(Enum, u"Mfg", REG_SZ, Sz(u"ZARVIK Software"));
    ExpectValue(Enum, u"Service", REG_SZ, Sz(u"pelmonix"));
    ExpectValue(Enum, u"Driver", REG_SZ, Sz(u"{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}\\0001"));
    ExpectValue(Enum, u"FriendlyName", REG_SZ, Sz(u"ZARVIK Corvess Serial Port (COM3)"));
    std::vector<UCHAR> Compatible = Sz(u"*ZARVIKCompatibleDRAVOLUX");
    Compatible.push_back(0);
    Compatible.push_back(0);
    ASSERT_EQ(Compatible.size(), 54u);
    ExpectValue(Enum, u"CompatibleIDs", REG_MULTI_SZ, Compatible);
    std::vector<UCHAR> Hardware = Sz(u"PELMONIX");
    Hardware.push_back(0);
    Hardware.push_back(0);
    ASSERT_EQ(Hardware.size(), 20u);
    ExpectValue(Enum, u"HardwareID", REG_MULTI_SZ, Hardware);
    ExpectValue(Enum, u"Capabilities", REG_DWORD, Dword(0xB4));
    ExpectValue(Enum, u"UINumber", REG_DWORD, Dword(1));
    ExpectValue(Enum, u"ConfigFlags", REG_DWORD, Dword(0));
    EXPECT_EQ(HkRegEnumValues(W(Enum.c_str())),
              (std::vector<std::u16string>{u"DeviceDesc", u"LocationInformation", u"ClassGUID", u"Class", u"Mfg",
                                           u"Service", u"Driver", u"FriendlyName", u"CompatibleIDs", u"HardwareID",
                                           u"Capabilities", u"UINumber", u"ConfigFlags"}));

    // The client's own keys carry the waiting text.
    EXPECT_EQ(FriendlyName(0), u"Serial Port \"COM3\" waiting for open");
    ExpectValue(EnumKey(0), u"UINumber", REG_DWORD, Dword(0));
}

TEST_F(InstallRecordsTest, KeyNumbersAndFriendlyNameForms)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    Fake.OwningBus = BusDevice;  // its lock guards the opener while the name is formatted
    WCHAR Name[] = L"COM7";
    WCHAR Path[] = L"C:\\Apps\\log.exe";
    Fake.PortName = Name;
    Fake.Index = 12345;
    Fake.ImagePath = Path;
    Fake.ProcessId = reinterpret_cast<HANDLE>(4321);
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    ExpectValue(std::u16string(ClassKey) + u"\\12345", u"DriverDesc", REG_SZ, Sz(u"ZARVIK Corvess Serial Port"));
    std::u16string Enum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\DRAVOLUX\\DEVICES\\12345";
    ExpectValue(Enum, u"Driver", REG_SZ, Sz(u"{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}\\12345"));
    ExpectValue(Enum, u"FriendlyName", REG_SZ, Sz(u"Serial Port \"COM7\" opened by \"C:\\Apps\\log.exe\" (Pid: 4321)"));
    ExpectValue(Enum, u"UINumber", REG_DWORD, Dword(12345));
    Fake.ProcessId = reinterpret_cast<HANDLE>(8);
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    ExpectValue(Enum, u"FriendlyName", REG_SZ, Sz(u"Serial Port \"COM7\" opened by \"C:\\Apps\\log.exe\" (Pid: 8)"));

    Fake.Index = 0;
    Fake.ImagePath = nullptr;
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    EXPECT_EQ(FriendlyName(0), u"Serial Port \"COM7\" waiting for open");
    ExpectValue(EnumKey(0), u"Driver", REG_SZ, Sz(u"{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB}\\0000"));

    Fake.IsControl = 1;
    Fake.ImagePath = Path;
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    EXPECT_EQ(FriendlyName(0), u"ZARVIK Corvess Serial Port (COM7)");

    // Writing again changes nothing.
    std::string Before = HkRegExport(L"\\Registry\\Machine\\System\\CurrentControlSet");
    ASSERT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    EXPECT_EQ(HkRegExport(L"\\Registry\\Machine\\System\\CurrentControlSet"), Before);
}

TEST_F(InstallRecordsTest, FriendlyNameNeverOutgrowsItsArea)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    Fake.OwningBus = BusDevice;  // its lock guards the opener while the name is formatted
    std::u16string Long = u"C:\\" + std::u16string(997, u'p');
    ASSERT_EQ(Long.size(), 1000u);
    std::vector<WCHAR> Path(Long.begin(), Long.end());
    Path.push_back(0);
    WCHAR Name[] = L"COM3";
    Fake.PortName = Name;
    Fake.Index = 2;
    Fake.ImagePath = Path.data();
    Fake.ProcessId = reinterpret_cast<HANDLE>(8);
    // The pool block is checked for overruns when it is freed.
    HkVerifierCapture Capture;
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_SUCCESS);
    EXPECT_EQ(Capture.Count(), 0u);
    std::u16string Text = FriendlyName(2);
    EXPECT_EQ(Text.size(), 255u);
    EXPECT_EQ(Text, (u"Serial Port \"COM3\" opened by \"" + Long).substr(0, 255));
}

TEST_F(InstallRecordsTest, FailuresStopTheSequenceAndKeepWhatWasWritten)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    Fake.OwningBus = BusDevice;  // its lock guards the opener while the name is formatted
    WCHAR Name[] = L"COM3";
    Fake.PortName = Name;
    Fake.Index = 5;

    HkFaultFailTag(DVX_TAG);
    EXPECT_EQ(WriteInstallRecords(&Fake), STATUS_INSUFFICIENT_RESOURCES);
    HkFaultReset();
    EXPECT_FALSE(HkRegKeyExists(W(ClassKey)));

    // Keys 1 to 3 are made, key 4 (the enumerator's) fails.
    HkFaultFailNth(HkFault::RegistryCreateKey, 4);
    NTSTATUS Status = WriteInstallRecords(&Fake);
    HkFaultReset();
    EXPECT_FALSE(NT_SUCCESS(Status));
    ExpectValue(ClassKey, u"SilentInstall", REG_SZ, Sz(u"1"));
    ExpectValue(std::u16string(ClassKey) + u"\\0005", u"DriverDesc", REG_SZ, Sz(u"ZARVIK Corvess Serial Port"));
    EXPECT_FALSE(HkRegValueExists(W(EnumKey(5).c_str()), L"DeviceDesc"));
}

}  // namespace
}  // namespace drvtest
