// Device records: the list helpers every path uses.
// (The byte layouts are checked at compile time next to the records.)
#include "driver_fixture.h"

namespace {

TEST(Records, UnlinkLeavesTheEntryPointingToItselfAndIsIdempotent)
{
    LIST_ENTRY Head;
    LIST_ENTRY A, B, C;
    InitializeListEntry(&Head);
    InsertTail(&Head, &A);
    InsertTail(&Head, &B);
    InsertTail(&Head, &C);
    EXPECT_EQ(Head.Flink, &A);
    EXPECT_EQ(Head.Blink, &C);
    UnlinkEntry(&B);
    EXPECT_EQ(B.Flink, &B);
    EXPECT_EQ(B.Blink, &B);
    EXPECT_EQ(A.Flink, &C);
    EXPECT_EQ(C.Blink, &A);
    UnlinkEntry(&B);  // again: nothing changes
    EXPECT_EQ(A.Flink, &C);
    EXPECT_EQ(B.Flink, &B);
    InsertBefore(&C, &B);
    EXPECT_EQ(A.Flink, &B);
    EXPECT_EQ(B.Flink, &C);
    UnlinkEntry(&A);
    UnlinkEntry(&B);
    UnlinkEntry(&C);
    EXPECT_TRUE(ListIsEmpty(&Head));
}

}  // namespace
