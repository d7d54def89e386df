// The exchanges with \\.\TVALD and \\.\TVALG, byte for byte, against the
// stand-in devices.
#include "display/device_protocol.h"
#include "platform/standin/calls.h"
#include "platform/standin/device_io.h"
#include "platform/standin/memory.h"
#include "tests/support/fresh_process.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using standin::AnswerBytes;
using standin::DeviceAnswer;
using standin::DeviceCall;
using standin::DeviceRecord;
using standin::FailRequest;
using standin::kQueryDevice;
using standin::kValueDevice;
using standin::WordBytes;

std::vector<DeviceRecord> RequestsTo(const std::string& device)
{
    std::vector<DeviceRecord> requests;
    for (const DeviceRecord& record : standin::DeviceLog()) {
        if (record.call == DeviceCall::Control && record.device == device) {
            requests.push_back(record);
        }
    }
    return requests;
}

// Every device handle that opened was closed, once, and no heap block is left.
void ExpectNothingLeftOpen()
{
    std::size_t opened = 0;
    std::size_t closed = 0;
    for (const DeviceRecord& record : standin::DeviceLog()) {
        opened += record.call == DeviceCall::Open && record.succeeded ? 1 : 0;
        closed += record.call == DeviceCall::Close ? 1 : 0;
    }
    EXPECT_EQ(opened, closed);
    EXPECT_EQ(standin::OpenHandleCount(standin::HandleKind::Device), 0u);
    EXPECT_EQ(standin::LiveHeapBlockCount(), 0u);
    EXPECT_EQ(standin::InvalidHeapFreeCount(), 0u);
}

// The 32 bytes of every query: the words the driver checks, zero elsewhere.
const std::vector<BYTE> kQueryBytes = WordBytes({0, 8, 0x42696541, 0x53444442, 0, 0, 0, 0});

// ---------------------------------------------------------------------------
// How each device is opened and asked.

struct ExchangeRow {
    const char* name;
    std::function<void()> exchange;
    const char* device;
    DWORD access;
    DWORD share;
    DWORD flags;
    DWORD code;
    DWORD inSize;
    DWORD outSize;
};

class Exchange : public ::testing::TestWithParam<ExchangeRow> {};

TEST_P(Exchange, OpensAsksAndClosesTheDeviceOnce)
{
    const ExchangeRow& row = GetParam();
    RunInFreshProcess([&] {
        standin::SimulateDisplayDriver(1, 3);
        row.exchange();

        std::vector<DeviceRecord> log = standin::DeviceLog();
        ASSERT_EQ(log.size(), 3u);
        const DeviceRecord& open = log[0];
        EXPECT_EQ(open.call, DeviceCall::Open);
        EXPECT_EQ(open.device, row.device);
        EXPECT_EQ(open.access, row.access);
        EXPECT_EQ(open.share, row.share);
        EXPECT_TRUE(open.securityNull);
        EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(open.flags, row.flags);
        EXPECT_TRUE(open.templateNull);
        ASSERT_TRUE(open.succeeded);

        const DeviceRecord& request = log[1];
        EXPECT_EQ(request.call, DeviceCall::Control);
        EXPECT_EQ(request.handle, open.handle);
        EXPECT_EQ(request.code, row.code);
        EXPECT_EQ(request.inSize, row.inSize);
        EXPECT_EQ(request.outSize, row.outSize);
        EXPECT_TRUE(request.returnedPointer);
        EXPECT_TRUE(request.overlappedNull);

        EXPECT_EQ(log[2].call, DeviceCall::Close);
        EXPECT_EQ(log[2].handle, open.handle);
        ExpectNothingLeftOpen();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Exchange,
    ::testing::Values(
        ExchangeRow{"ReadOfValueDevice", [] { ReadActiveSelection(); }, kValueDevice, 0xC0000000, 0, 0,
                    0x222880, 24, 24},
        ExchangeRow{"WriteOfValueDevice", [] { WriteActiveSelection(4); }, kValueDevice, 0xC0000000, 0, 0,
                    0x222880, 24, 24},
        ExchangeRow{"QueryOfQueryDevice", [] { QueryTargetSelection(); }, kQueryDevice, 0x80000000,
                    FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL, 0x222940, 32, 36}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The ValueRequest goes out as the last exchange left it.

enum class Op { Read, Write };

struct ValueStep {
    Op op;
    DWORD selection;  // given to a write
    DeviceAnswer answer;
    std::vector<DWORD> wordsSent;
    DWORD result;
};

struct ValueRow {
    const char* name;
    std::vector<ValueStep> steps;
};

class ValueRequestWords : public ::testing::TestWithParam<ValueRow> {};

TEST_P(ValueRequestWords, GoOutAsTheLastExchangeLeftThem)
{
    const ValueRow& row = GetParam();
    RunInFreshProcess([&] {
        std::vector<DeviceAnswer> answers;
        for (const ValueStep& step : row.steps) {
            answers.push_back(step.answer);
        }
        standin::SimulateDevice(kValueDevice, answers);

        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            const ValueStep& step = row.steps[i];
            SCOPED_TRACE("exchange " + std::to_string(i));
            DWORD result = step.op == Op::Read ? ReadActiveSelection() : WriteActiveSelection(step.selection);
            EXPECT_EQ(result, step.result);
            std::vector<DeviceRecord> requests = RequestsTo(kValueDevice);
            ASSERT_EQ(requests.size(), i + 1);
            std::vector<BYTE> sent;
            for (DWORD word : step.wordsSent) {
                std::vector<BYTE> bytes = WordBytes({word});
                sent.insert(sent.end(), bytes.begin(), bytes.end());
            }
            EXPECT_EQ(requests[i].input, sent);
        }
        ExpectNothingLeftOpen();
    });
}

constexpr DWORD kRead = 0xFE00;
constexpr DWORD kWrite = 0xFF00;

// A device that hands the record back as it came, but with these trailing words.
DeviceAnswer EchoWithTrailing(DWORD function, DWORD selection, DWORD trailing1, DWORD trailing2)
{
    return AnswerBytes(WordBytes({function, 0xC000, 2, selection, trailing1, trailing2}));
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ValueRequestWords,
    ::testing::Values(
        ValueRow{"FirstReadSendsZeroSelectionAndTrailingWords",
                 {{Op::Read, 0, AnswerBytes(WordBytes({kRead, 0xC000, 2, 2, 0, 0})), {kRead, 0xC000, 2, 0, 0, 0}, 2}}},
        ValueRow{"FailedFirstReadYieldsZero",
                 {{Op::Read, 0, FailRequest(ERROR_GEN_FAILURE), {kRead, 0xC000, 2, 0, 0, 0}, 0}}},
        ValueRow{"WriteOfFourGoesOutWithFixedWords",
                 {{Op::Write, 4, AnswerBytes({}), {kWrite, 0xC000, 2, 4, 0, 0}, 1}}},
        ValueRow{"FailedReadAfterWriteOfEightYieldsEight",
                 {{Op::Write, 8, AnswerBytes({}), {kWrite, 0xC000, 2, 8, 0, 0}, 1},
                  {Op::Read, 0, FailRequest(ERROR_GEN_FAILURE), {kRead, 0xC000, 2, 8, 0, 0}, 8}}},
        ValueRow{"ReadThatLeavesSelectionUnwrittenYieldsTheLastWrite",
                 {{Op::Write, 8, AnswerBytes({}), {kWrite, 0xC000, 2, 8, 0, 0}, 1},
                  {Op::Read, 0, AnswerBytes(WordBytes({kRead, 0xC000, 2})), {kRead, 0xC000, 2, 8, 0, 0}, 8}}},
        ValueRow{"TrailingWordsGoOutAsTheDeviceLeftThem",
                 {{Op::Read, 0, EchoWithTrailing(kRead, 1, 0x11111111, 0x22222222), {kRead, 0xC000, 2, 0, 0, 0}, 1},
                  {Op::Write, 4, EchoWithTrailing(kWrite, 4, 0x33333333, 0x44444444),
                   {kWrite, 0xC000, 2, 4, 0x11111111, 0x22222222}, 1},
                  {Op::Read, 0, FailRequest(ERROR_GEN_FAILURE), {kRead, 0xC000, 2, 4, 0x33333333, 0x44444444}, 4}}},
        ValueRow{"FixedWordsAreSetAgainAfterTheDeviceChangedThem",
                 {{Op::Read, 0, AnswerBytes(WordBytes({1, 2, 3, 16, 5, 6})), {kRead, 0xC000, 2, 0, 0, 0}, 16},
                  {Op::Read, 0, AnswerBytes({}), {kRead, 0xC000, 2, 16, 5, 6}, 16}}},
        ValueRow{"FailedWriteStillCountsAsSentAndLeavesItsSelection",
                 {{Op::Write, 16, FailRequest(ERROR_GEN_FAILURE), {kWrite, 0xC000, 2, 16, 0, 0}, 1},
                  {Op::Read, 0, FailRequest(ERROR_GEN_FAILURE), {kRead, 0xC000, 2, 16, 0, 0}, 16}}},
        ValueRow{"ReadYieldsWhatAFailingDeviceStillWrote",
                 {{Op::Read, 0, FailRequest(ERROR_GEN_FAILURE, WordBytes({kRead, 0xC000, 2, 2})),
                   {kRead, 0xC000, 2, 0, 0, 0}, 2}}},
        ValueRow{"ReturnedCountIsNotLookedAt",
                 {{Op::Read, 0, AnswerBytes(WordBytes({kRead, 0xC000, 2, 2, 0, 0}), 0), {kRead, 0xC000, 2, 0, 0, 0}, 2},
                  {Op::Read, 0, AnswerBytes(WordBytes({kRead, 0xC000, 2, 1, 0, 0}), 1000),
                   {kRead, 0xC000, 2, 2, 0, 0}, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// An absent \\.\TVALD: nothing sent, the record untouched.

struct AbsentRow {
    const char* name;
    std::function<void()> makeAbsent;
};

class AbsentValueDevice : public ::testing::TestWithParam<AbsentRow> {};

TEST_P(AbsentValueDevice, YieldsZeroSendsNothingAndLeavesTheRecord)
{
    const AbsentRow& row = GetParam();
    RunInFreshProcess([&] {
        standin::SimulateDevice(kValueDevice, {AnswerBytes(WordBytes({kRead, 0xC000, 2, 2, 7, 9})),
                                               FailRequest(ERROR_GEN_FAILURE)});
        ASSERT_EQ(ReadActiveSelection(), 2u);

        row.makeAbsent();
        EXPECT_EQ(ReadActiveSelection(), 0u);
        EXPECT_EQ(WriteActiveSelection(16), 0u);
        EXPECT_EQ(RequestsTo(kValueDevice).size(), 1u);
        standin::ClearFailures();

        standin::SimulateDevice(kValueDevice, {FailRequest(ERROR_GEN_FAILURE)});
        EXPECT_EQ(ReadActiveSelection(), 2u);
        std::vector<DeviceRecord> requests = RequestsTo(kValueDevice);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].input, WordBytes({kRead, 0xC000, 2, 2, 7, 9}));
        ExpectNothingLeftOpen();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Opens, AbsentValueDevice,
    ::testing::Values(AbsentRow{"DriverNotLoaded", [] { standin::RemoveDevice(kValueDevice); }},
                      AbsentRow{"DeviceRefusesAccess",
                                [] { standin::FailDeviceOpen(kValueDevice, ERROR_ACCESS_DENIED, 2); }},
                      AbsentRow{"CreateFileFails",
                                [] { standin::FailCall(standin::Call::CreateFileA, ERROR_GEN_FAILURE, 2); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The query and its reply.

TEST(SelectionQuery, SendsTheExactRequestBytes)
{
    RunInFreshProcess([] {
        standin::SimulateDisplayDriver(1, 2);
        EXPECT_EQ(QueryTargetSelection(), 2u);
        std::vector<DeviceRecord> requests = RequestsTo(kQueryDevice);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].input, kQueryBytes);
        EXPECT_EQ(std::string(requests[0].input.begin() + 8, requests[0].input.begin() + 16), "AeiBBDDS");
    });
}

struct ReplyRow {
    const char* name;
    WORD status;
    WORD level;
    BYTE index;
    DWORD expectedIndex;
    DWORD expectedSelection;
};

class ReplyFields : public ::testing::TestWithParam<ReplyRow> {};

// SendSelectionQuery on a handle the test opened, then QueryTargetSelection,
// each against the same reply.
TEST_P(ReplyFields, DecideTheTarget)
{
    const ReplyRow& row = GetParam();
    RunInFreshProcess([&] {
        std::vector<BYTE> reply = standin::QueryReplyBytes(row.status, row.level, row.index);
        standin::SimulateDevice(kQueryDevice, {AnswerBytes(reply), AnswerBytes(reply)});

        HANDLE device = CreateFileA(kQueryDevice, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(SendSelectionQuery(device), row.expectedIndex);
        EXPECT_EQ(standin::OpenHandleCount(standin::HandleKind::Device), 1u) << "the handle stays open";
        CloseHandle(device);

        EXPECT_EQ(QueryTargetSelection(), row.expectedSelection);
        EXPECT_EQ(RequestsTo(kQueryDevice).size(), 2u);
        ExpectNothingLeftOpen();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyFields,
    ::testing::Values(ReplyRow{"Index1", 0, 4, 1, 1, 1}, ReplyRow{"Index2", 0, 4, 2, 2, 2},
                      ReplyRow{"Index3", 0, 4, 3, 3, 4}, ReplyRow{"Index4", 0, 4, 4, 4, 8},
                      ReplyRow{"Index5AtLevel4", 0, 4, 5, 5, 16}, ReplyRow{"Index3AtLevel0", 0, 0, 3, 3, 4},
                      ReplyRow{"Index0", 0, 4, 0, 0, 0}, ReplyRow{"Index6", 0, 4, 6, 6, 0},
                      ReplyRow{"Index255", 0, 4, 255, 255, 0}, ReplyRow{"Level5", 0, 5, 5, 0, 0},
                      ReplyRow{"LevelFFFF", 0, 0xFFFF, 5, 0, 0}, ReplyRow{"LevelInHighByte", 0, 0x0100, 5, 0, 0},
                      ReplyRow{"Status1", 1, 4, 5, 0, 0}, ReplyRow{"StatusInHighByte", 0x0100, 4, 5, 0, 0},
                      ReplyRow{"Status8000", 0x8000, 4, 5, 0, 0}, ReplyRow{"StatusFFFF", 0xFFFF, 0, 1, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectionQuery, UnexaminedBytesAndReturnedCountDoNotChangeTheResult)
{
    struct Row {
        BYTE fill;
        DWORD returned;
    };
    const Row rows[] = {{0x00, 36}, {0xFF, 36}, {0xA5, 0}, {0x5A, 25}, {0xFF, 0xFFFFFFFF}, {0x01, 7}};
    for (const Row& row : rows) {
        SCOPED_TRACE("fill " + std::to_string(row.fill) + ", returned " + std::to_string(row.returned));
        RunInFreshProcess([&] {
            std::vector<BYTE> reply = standin::QueryReplyBytes(0, 4, 3, row.fill);
            standin::SimulateDevice(kQueryDevice, {AnswerBytes(reply, row.returned)});
            EXPECT_EQ(QueryTargetSelection(), 4u);
            ExpectNothingLeftOpen();
        });
    }
}

// The reply buffer is zeroed before the exchange, so whatever the device did
// not write reads as 0, whatever count it reports.
TEST(SelectionQuery, ShortReplyReadsAsZeros)
{
    struct Row {
        std::size_t written;
        DWORD returned;
        DWORD expectedIndex;
    };
    const Row rows[] = {{0, 0, 0},   {20, 20, 0},  {21, 21, 0}, {22, 22, 0},
                        {24, 24, 0}, {24, 36, 0}, {25, 25, 5}, {35, 36, 5}};
    for (const Row& row : rows) {
        SCOPED_TRACE("written " + std::to_string(row.written) + ", returned " + std::to_string(row.returned));
        RunInFreshProcess([&] {
            std::vector<BYTE> reply = standin::QueryReplyBytes(0, 4, 5, 0x77);
            reply.resize(row.written);
            standin::SimulateDevice(kQueryDevice, {AnswerBytes(reply, row.returned)});
            HANDLE device = CreateFileA(kQueryDevice, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, NULL);
            ASSERT_NE(device, INVALID_HANDLE_VALUE);
            EXPECT_EQ(SendSelectionQuery(device), row.expectedIndex);
            CloseHandle(device);
            ExpectNothingLeftOpen();
        });
    }
}

struct QueryFailureRow {
    const char* name;
    std::function<void()> arrange;
    std::size_t requestsSent;
};

class QueryFailure : public ::testing::TestWithParam<QueryFailureRow> {};

TEST_P(QueryFailure, YieldsZeroReleasesTheBufferAndClosesTheHandle)
{
    const QueryFailureRow& row = GetParam();
    RunInFreshProcess([&] {
        row.arrange();
        EXPECT_EQ(QueryTargetSelection(), 0u);

        std::vector<DeviceRecord> log = standin::DeviceLog();
        ASSERT_EQ(log.size(), 2 + row.requestsSent);
        EXPECT_EQ(log.front().call, DeviceCall::Open);
        EXPECT_EQ(log.back().call, DeviceCall::Close);
        EXPECT_EQ(log.back().handle, log.front().handle);
        EXPECT_EQ(RequestsTo(kQueryDevice).size(), row.requestsSent);
        ExpectNothingLeftOpen();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Paths, QueryFailure,
    ::testing::Values(
        QueryFailureRow{"RequestFails",
                        [] { standin::SimulateDevice(kQueryDevice, {FailRequest(ERROR_GEN_FAILURE)}); }, 1},
        QueryFailureRow{"RequestFailsAfterWritingAGoodReply",
                        [] {
                            standin::SimulateDevice(
                                kQueryDevice, {FailRequest(ERROR_GEN_FAILURE, standin::QueryReplyBytes(0, 4, 3))});
                        },
                        1},
        QueryFailureRow{"ReplyRejected",
                        [] { standin::SimulateDevice(kQueryDevice, {AnswerBytes(standin::QueryReplyBytes(1, 4, 3))}); },
                        1},
        QueryFailureRow{"NoReplyBuffer",
                        [] {
                            standin::SimulateDisplayDriver(1, 3);
                            standin::FailCall(standin::Call::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY);
                        },
                        0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectionQuery, AbsentQueryDeviceYieldsZeroAndMakesNoOtherCall)
{
    RunInFreshProcess([] {
        EXPECT_EQ(QueryTargetSelection(), 0u);
        std::vector<standin::CallRecord> calls = standin::CallLog();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].call, standin::Call::CreateFileA);
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
    });
}

}  // namespace
