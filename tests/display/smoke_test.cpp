#include "display/selection_restore.h"
#include "platform/standin/calls.h"
#include "tests/support/fresh_process.h"

TEST(Skeleton, RestoreWithoutDevicesLeavesNoHandle)
{
    RunInFreshProcess([] {
        RestoreDisplaySelection();
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
    });
}
