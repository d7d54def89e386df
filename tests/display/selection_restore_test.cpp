// The restore rule against a stand-in display driver: which devices a run
// opens and asks, in what order, and what it writes.
#include "display/selection_restore.h"
#include "platform/standin/calls.h"
#include "platform/standin/device_io.h"
#include "platform/standin/memory.h"
#include "tests/support/fresh_process.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using standin::AnswerBytes;
using standin::DeviceCall;
using standin::DeviceRecord;
using standin::FailRequest;
using standin::kQueryDevice;
using standin::kValueDevice;
using standin::WordBytes;

constexpr DWORD kRead = 0xFE00;
constexpr DWORD kWrite = 0xFF00;

const std::vector<BYTE> kQueryBytes = WordBytes({0, 8, 0x42696541, 0x53444442, 0, 0, 0, 0});

// One expected device operation: an open, request and close of one device,
// or an open that fails.
struct Expected {
    const char* device;
    bool opens;
    std::vector<BYTE> input;  // the request's exact bytes
};

Expected ReadOp(DWORD carried = 0)
{
    return {kValueDevice, true, WordBytes({kRead, 0xC000, 2, carried, 0, 0})};
}
Expected WriteOp(DWORD selection)
{
    return {kValueDevice, true, WordBytes({kWrite, 0xC000, 2, selection, 0, 0})};
}
Expected QueryOp()
{
    return {kQueryDevice, true, kQueryBytes};
}
Expected FailedOpen(const char* device)
{
    return {device, false, {}};
}

// Checks the device record from `first` on against the operations, one after
// the other, each with its own handle closed before the next opens.
void ExpectOperations(const std::vector<Expected>& expected, std::size_t first = 0)
{
    std::vector<DeviceRecord> log = standin::DeviceLog();
    ASSERT_GE(log.size(), first);
    std::size_t at = first;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Expected& op = expected[i];
        SCOPED_TRACE("operation " + std::to_string(i) + " on " + op.device);
        ASSERT_LT(at, log.size());
        const DeviceRecord& open = log[at++];
        EXPECT_EQ(open.call, DeviceCall::Open);
        EXPECT_EQ(open.device, op.device);
        ASSERT_EQ(open.succeeded, op.opens);
        if (!op.opens) {
            continue;
        }
        ASSERT_LT(at + 1, log.size());
        const DeviceRecord& request = log[at++];
        const DeviceRecord& close = log[at++];
        EXPECT_EQ(request.call, DeviceCall::Control);
        EXPECT_EQ(request.handle, open.handle);
        EXPECT_EQ(request.input, op.input);
        EXPECT_EQ(close.call, DeviceCall::Close);
        EXPECT_EQ(close.handle, open.handle);
    }
    EXPECT_EQ(at, log.size()) << "operations beyond those expected";
    EXPECT_EQ(standin::OpenHandleCount(standin::HandleKind::Device), 0u);
    EXPECT_EQ(standin::LiveHeapBlockCount(), 0u);
}

// ---------------------------------------------------------------------------
// The decision table, one row per situation.

enum class Query { Answers, Absent, RejectedStatus, RejectedLevel, RequestFails };

struct RestoreRow {
    const char* name;
    bool valueDeviceOpens;
    DWORD active;
    Query query;
    BYTE targetIndex;
    std::vector<Expected> operations;
    std::optional<DWORD> written;
};

class Restore : public ::testing::TestWithParam<RestoreRow> {};

TEST_P(Restore, FollowsTheDecisionTable)
{
    const RestoreRow& row = GetParam();
    RunInFreshProcess([&] {
        standin::SimulateDisplayDriver(row.active, row.targetIndex);
        if (!row.valueDeviceOpens) {
            standin::RemoveDevice(kValueDevice);
        }
        // Every rejected reply still names a usable index, so that only the
        // rejection keeps the run from writing.
        switch (row.query) {
        case Query::Answers:
            break;
        case Query::Absent:
            standin::RemoveDevice(kQueryDevice);
            break;
        case Query::RejectedStatus:
            standin::SimulateDevice(kQueryDevice, {AnswerBytes(standin::QueryReplyBytes(1, 0, row.targetIndex))});
            break;
        case Query::RejectedLevel:
            standin::SimulateDevice(kQueryDevice, {AnswerBytes(standin::QueryReplyBytes(0, 5, row.targetIndex))});
            break;
        case Query::RequestFails:
            standin::SimulateDevice(
                kQueryDevice, {FailRequest(ERROR_GEN_FAILURE, standin::QueryReplyBytes(0, 0, row.targetIndex))});
            break;
        }

        RestoreDisplaySelection();

        ExpectOperations(row.operations);
        if (row.valueDeviceOpens) {
            EXPECT_EQ(standin::SimulatedActiveSelection(), row.written.value_or(row.active));
        }
    });
}

std::vector<RestoreRow> RestoreRows()
{
    std::vector<RestoreRow> rows = {
        {"First_TargetSecond_Writes", true, 1, Query::Answers, 2, {ReadOp(), QueryOp(), WriteOp(2)}, 2},
        {"First_TargetThird_Writes", true, 1, Query::Answers, 3, {ReadOp(), QueryOp(), WriteOp(4)}, 4},
        {"First_TargetFourth_Writes", true, 1, Query::Answers, 4, {ReadOp(), QueryOp(), WriteOp(8)}, 8},
        {"First_TargetFifth_Writes", true, 1, Query::Answers, 5, {ReadOp(), QueryOp(), WriteOp(16)}, 16},
        {"Second_TargetFirst_Writes", true, 2, Query::Answers, 1, {ReadOp(), QueryOp(), WriteOp(1)}, 1},
        {"Second_TargetThird_Writes", true, 2, Query::Answers, 3, {ReadOp(), QueryOp(), WriteOp(4)}, 4},
        {"Second_TargetFourth_Writes", true, 2, Query::Answers, 4, {ReadOp(), QueryOp(), WriteOp(8)}, 8},
        {"Second_TargetFifth_Writes", true, 2, Query::Answers, 5, {ReadOp(), QueryOp(), WriteOp(16)}, 16},

        {"First_TargetSame_NoWrite", true, 1, Query::Answers, 1, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_IndexZero_NoWrite", true, 1, Query::Answers, 0, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_IndexSix_NoWrite", true, 1, Query::Answers, 6, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_Index255_NoWrite", true, 1, Query::Answers, 255, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_QueryDeviceAbsent_NoWrite", true, 1, Query::Absent, 3, {ReadOp(), FailedOpen(kQueryDevice)},
         std::nullopt},
        {"First_ReplyStatusNonZero_NoWrite", true, 1, Query::RejectedStatus, 3, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_ReplyLevelAbove4_NoWrite", true, 1, Query::RejectedLevel, 3, {ReadOp(), QueryOp()}, std::nullopt},
        {"First_QueryRequestFails_NoWrite", true, 1, Query::RequestFails, 3, {ReadOp(), QueryOp()}, std::nullopt},
        {"Second_TargetSame_NoWrite", true, 2, Query::Answers, 2, {ReadOp(), QueryOp()}, std::nullopt},
        {"Second_IndexZero_NoWrite", true, 2, Query::Answers, 0, {ReadOp(), QueryOp()}, std::nullopt},

        {"NoneActive_NotAsked", true, 0, Query::Answers, 3, {ReadOp()}, std::nullopt},
        {"ValueDeviceAbsent_NotAsked", false, 0, Query::Answers, 3, {FailedOpen(kValueDevice)}, std::nullopt},
        {"FirstAndSecond_NotAsked", true, 3, Query::Answers, 1, {ReadOp()}, std::nullopt},
        {"Third_NotAsked", true, 4, Query::Answers, 1, {ReadOp()}, std::nullopt},
        {"Fourth_NotAsked", true, 8, Query::Answers, 1, {ReadOp()}, std::nullopt},
        {"Fifth_NotAsked", true, 16, Query::Answers, 1, {ReadOp()}, std::nullopt},
        {"AllBits_NotAsked", true, 0xFFFFFFFF, Query::Answers, 1, {ReadOp()}, std::nullopt},
        {"FirstWithHighBit_NotAsked", true, 0x80000001, Query::Answers, 2, {ReadOp()}, std::nullopt},
    };
    return rows;
}

INSTANTIATE_TEST_SUITE_P(DecisionTable, Restore, ::testing::ValuesIn(RestoreRows()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What carries over between runs: the selection word of the one ValueRequest.

struct CarryRow {
    const char* name;
    bool earlierRunRead1;
    BYTE targetIndex;  // the query's answer in the run whose read fails
    std::vector<Expected> operations;  // of that run
    DWORD activeAfter;
};

class FailedRead : public ::testing::TestWithParam<CarryRow> {};

TEST_P(FailedRead, GoesOnWithTheSelectionWordAsLastLeft)
{
    const CarryRow& row = GetParam();
    RunInFreshProcess([&] {
        standin::SimulateDisplayDriver(1, 1);
        std::size_t first = 0;
        if (row.earlierRunRead1) {
            RestoreDisplaySelection();
            ExpectOperations({ReadOp(), QueryOp()});
            first = standin::DeviceLog().size();
        }
        standin::SetSimulatedTargetIndex(row.targetIndex);
        // The next request, the run's read, fails before it reaches the driver.
        standin::FailCall(standin::Call::DeviceIoControl, ERROR_GEN_FAILURE);

        RestoreDisplaySelection();

        ExpectOperations(row.operations, first);
        EXPECT_EQ(standin::SimulatedActiveSelection(), row.activeAfter);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Carry, FailedRead,
    ::testing::Values(CarryRow{"AfterRunThatRead1_WritesTarget", true, 3, {ReadOp(1), QueryOp(), WriteOp(4)}, 4},
                      CarryRow{"AfterRunThatRead1_TargetSecond", true, 2, {ReadOp(1), QueryOp(), WriteOp(2)}, 2},
                      CarryRow{"AfterRunThatRead1_TargetSame_NoWrite", true, 1, {ReadOp(1), QueryOp()}, 1},
                      CarryRow{"AfterRunThatRead1_IndexZero_NoWrite", true, 0, {ReadOp(1), QueryOp()}, 1},
                      CarryRow{"FirstExchange_YieldsZeroAndEnds", false, 3, {ReadOp(0)}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Two threads, as the service thread's start-up run and the dispatcher
// thread's resume run can overlap.

// The driver answers every query with the output that is not active, so each
// run reads, queries and writes; every request sleeps inside the driver to
// hold the window open for the other thread.
TEST(ConcurrentRestore, RunsDoNotInterleave)
{
    RunInFreshProcess([] {
        standin::SimulateDisplayDriver(1, 2);
        standin::SetDeviceRequestHook([](const standin::DeviceRequest& request) {
            if (request.device == kQueryDevice) {
                standin::SetSimulatedTargetIndex(standin::SimulatedActiveSelection() == 1 ? 2 : 1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        });

        constexpr int kRunsPerThread = 60;
        auto runs = [] {
            for (int i = 0; i < kRunsPerThread; ++i) {
                RestoreDisplaySelection();
            }
        };
        std::thread service(runs);
        std::thread dispatcher(runs);
        service.join();
        dispatcher.join();

        std::vector<DeviceRecord> log = standin::DeviceLog();
        constexpr std::size_t kPerRun = 9;
        ASSERT_EQ(log.size(), 2 * kRunsPerThread * kPerRun);
        DWORD active = 1;
        for (std::size_t run = 0; run < 2 * kRunsPerThread; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            const DeviceRecord* records = &log[run * kPerRun];
            for (std::size_t i = 1; i < kPerRun; ++i) {
                ASSERT_EQ(records[i].thread, records[0].thread) << "another run's operation at " << i;
            }
            const char* devices[] = {kValueDevice, kQueryDevice, kValueDevice};
            const DeviceCall calls[] = {DeviceCall::Open, DeviceCall::Control, DeviceCall::Close};
            for (std::size_t i = 0; i < kPerRun; ++i) {
                EXPECT_EQ(records[i].device, devices[i / 3]) << i;
                EXPECT_EQ(records[i].call, calls[i % 3]) << i;
            }
            // Each run reads what the one before wrote and writes the other output.
            DWORD target = active == 1 ? 2 : 1;
            EXPECT_EQ(records[1].input, WordBytes({kRead, 0xC000, 2, run == 0 ? 0 : active, 0, 0}));
            EXPECT_EQ(records[7].input, WordBytes({kWrite, 0xC000, 2, target, 0, 0}));
            active = target;
        }
        EXPECT_EQ(standin::SimulatedActiveSelection(), active);
        EXPECT_EQ(standin::OpenHandleCount(standin::HandleKind::Device), 0u);
        EXPECT_EQ(standin::LiveHeapBlockCount(), 0u);
    });
}

}  // namespace
