// Which pool the driver's memory comes from: the port group is the only
// non-paged block; strings, answers to the PnP manager and working buffers
// are paged.
#include "control_fixture.h"

namespace drvtest {
namespace {

struct PoolCounts {
    size_t Paged;
    size_t NonPaged;
    size_t ScratchPaged;
    size_t ScratchNonPaged;
};

PoolCounts CountAllocations()
{
    return {HkPoolAllocationsFor(DVX_TAG, HkPoolKind::Paged), HkPoolAllocationsFor(DVX_TAG, HkPoolKind::NonPaged),
            HkPoolAllocationsFor(DVX_SCRATCH_TAG, HkPoolKind::Paged),
            HkPoolAllocationsFor(DVX_SCRATCH_TAG, HkPoolKind::NonPaged)};
}

class PoolKinds : public ControlFixture {
protected:
    PortExtension* Client = nullptr;
    PortExtension* ControlPort = nullptr;
    PEPROCESS Term = nullptr;

    // The bus under the PnP manager, COM3 taken over from \Device\Serial2
    // and its ports enumerated; none opened yet.
    void ManageCom3()
    {
        ASSERT_NO_FATAL_FAILURE(InstallThroughPnp());
        ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Serial2"), STATUS_SUCCESS);
        SetPermission(u"COM3", u"C:\\Tools\\term.exe", 0x15);
        Term = NewProcess(u"C:\\Tools\\term.exe");
    }

    void TearDown() override
    {
        for (PEPROCESS Process : Processes) {
            HkPsDestroyProcess(Process);
        }
        ControlFixture::TearDown();
    }
};

// Blocks the driver keeps, and answers it hands to the PnP manager: each
// lies in a live block of the driver's tag and of the pool its rules name.
TEST_F(PoolKinds, KeptBlocksAndAnswersComeFromTheirPool)
{
    ASSERT_NO_FATAL_FAILURE(ManageCom3());
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
    Rescan();
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    ASSERT_NE(Client->Group->LinkTarget, nullptr);
    PDEVICE_OBJECT Port = Client->Header.Self;

    struct Kept {
        const char* What;
        const void* Block;
        HkPoolKind Kind;
    };
    const Kept KeptBlocks[] = {
        {"PortGroup", Client->Group, HkPoolKind::NonPaged},
        {"PortName", Client->Group->PortName, HkPoolKind::Paged},
        {"LinkName", Client->Group->LinkName, HkPoolKind::Paged},
        {"LinkTarget", Client->Group->LinkTarget, HkPoolKind::Paged},
        {"ImagePath", Client->ImagePath, HkPoolKind::Paged},
        {"registry path copy", DriverRegistryPath.Buffer, HkPoolKind::Paged},
    };
    for (const Kept& K : KeptBlocks) {
        HkPoolBlock Block = HkPoolBlockAt(K.Block);
        EXPECT_EQ(Block.Kind, K.Kind) << K.What << " is " << HkPoolKindName(Block.Kind);
        EXPECT_EQ(Block.Tag, DVX_TAG) << K.What;
        EXPECT_EQ(Block.Start, K.Block) << K.What;
    }

    auto Relations = [](PDEVICE_OBJECT Target, DEVICE_RELATION_TYPE Type) {
        return QueryRelations(Target, Type).Information;
    };
    auto Id = [](PDEVICE_OBJECT Target, BUS_QUERY_ID_TYPE Type) { return QueryId(Target, Type).Information; };
    struct Answer {
        const char* What;
        ULONG_PTR Information;
        bool IsRelations;
    };
    const Answer Answers[] = {
        {"bus relations", Relations(BusDevice, BusRelations), true},
        {"bus device ID", Id(BusDevice, BusQueryDeviceID), false},
        {"bus hardware IDs", Id(BusDevice, BusQueryHardwareIDs), false},
        {"port device ID", Id(Port, BusQueryDeviceID), false},
        {"port instance ID", Id(Port, BusQueryInstanceID), false},
        {"port hardware IDs", Id(Port, BusQueryHardwareIDs), false},
        {"port compatible IDs", Id(Port, BusQueryCompatibleIDs), false},
        {"port description", QueryText(Port, DeviceTextDescription).Information, false},
        {"port location", QueryText(Port, DeviceTextLocationInformation).Information, false},
        {"port target relation", Relations(Port, TargetDeviceRelation), true},
        {"port resource requirements", SendPnp(Port, IRP_MN_QUERY_RESOURCE_REQUIREMENTS).Information, false},
        {"port bus information", SendPnp(Port, IRP_MN_QUERY_BUS_INFORMATION).Information, false},
    };
    for (const Answer& A : Answers) {
        ASSERT_NE(A.Information, 0u) << A.What;
        HkPoolBlock Block = HkPoolBlockAt(reinterpret_cast<const void*>(A.Information));
        EXPECT_EQ(Block.Kind, HkPoolKind::Paged) << A.What << " is " << HkPoolKindName(Block.Kind);
        EXPECT_EQ(Block.Tag, DVX_TAG) << A.What;
        if (A.IsRelations) {
            TakeRelations(A.Information);
        } else {
            ExFreePool(reinterpret_cast<PVOID>(A.Information));
        }
    }
    Close(Client);
}

// Working buffers live only inside one operation; counted per tag and pool,
// no step makes a non-paged block but the group of a new managed port.
TEST_F(PoolKinds, WorkingBuffersOfEveryStepArePaged)
{
    ASSERT_NO_FATAL_FAILURE(ManageCom3());
    struct Step {
        const char* What;
        std::function<void()> Run;
        size_t Groups;        // non-paged blocks of the driver's tag
        size_t MinPaged;      // at least this many paged blocks of "Dvlx"
        size_t MinScratch;    // and of "COMX"
    };
    const Step Steps[] = {
        {"create", [&] { CreateManaged(u"COM3", &Client, &ControlPort); }, 1, 5, 0},
        {"enumerate", [&] { Rescan(); }, 0, 5, 2},
        {"open", [&] { EXPECT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS); }, 0, 3, 3},
        {"reload", [&] {
             EXPECT_EQ(Control(dravolux::IoctlReloadPermissions, nullptr, 0, 0).Status, STATUS_SUCCESS);
         }, 0, 0, 3},
        {"close", [&] { Close(Client); Rescan(); }, 0, 1, 0},
        {"remove", [&] {
             EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_SUCCESS);
             Rescan();
         }, 0, 1, 0},
    };
    for (const Step& S : Steps) {
        PoolCounts Before = CountAllocations();
        S.Run();
        PoolCounts After = CountAllocations();
        EXPECT_EQ(After.NonPaged - Before.NonPaged, S.Groups) << S.What;
        EXPECT_EQ(After.ScratchNonPaged - Before.ScratchNonPaged, 0u) << S.What;
        EXPECT_GE(After.Paged - Before.Paged, S.MinPaged) << S.What;
        EXPECT_GE(After.ScratchPaged - Before.ScratchPaged, S.MinScratch) << S.What;
    }
    EXPECT_EQ(LinkTargetOf(u"\\GLOBAL??\\COM3"), u"\\Device\\Serial2");
}

}  // namespace
}  // namespace drvtest
