// Any answers of \\.\TVALD (and of \\.\TVALG behind it) through several
// RestoreDisplaySelection runs in a row: opens that fail, requests that fail
// with or without writing, answers that leave the selection word alone or put
// anything in any word. The ValueRequest carries over from run to run, so
// each run is checked against a model that carries it over too: the exact
// bytes of every request, the sequence of device operations the decision
// rule calls for, and no handle or heap block left.
//
// Input: 12 bytes per run (see Run below), up to 16 runs.
#include "display/device_protocol.h"
#include "display/selection_restore.h"
#include "fuzz/fuzz_check.h"
#include "platform/standin/device_io.h"
#include "platform/standin/memory.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

enum : uint8_t {
    kReadOpenFails = 1 << 0,
    kReadFails = 1 << 1,       // the read request fails
    kReadShort = 1 << 2,       // the answer writes only the first 12 bytes
    kQueryOpenFails = 1 << 3,
    kQueryFails = 1 << 4,
    kWriteOpenFails = 1 << 5,
    kWriteFails = 1 << 6,
    kTrailingWritten = 1 << 7,  // the answers also change the trailing words
};

struct Run {
    uint8_t flags;
    DWORD answeredSelection;  // put in the selection word by the read answer
    BYTE targetIndex;
    WORD level;
    WORD status;
    DWORD trailing;           // put in both trailing words when kTrailingWritten
};

Run ParseRun(const uint8_t* p)
{
    Run run{};
    run.flags = p[0];
    // Small selections are the interesting ones; the high bit of byte 1 lets
    // any 32-bit value through.
    run.answeredSelection = (p[1] & 0x80) ? (p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<DWORD>(p[4]) << 24))
                                          : (p[1] & 0x7);
    run.targetIndex = (p[5] & 0x80) ? p[5] : (p[5] & 0x7);
    run.level = (p[6] & 0x80) ? static_cast<WORD>(p[6] | (p[7] << 8)) : (p[6] & 0x7);
    run.status = (p[8] & 0x80) ? static_cast<WORD>(p[8] | (p[9] << 8)) : 0;
    run.trailing = p[10] | (p[11] << 8);
    return run;
}

using Words = std::array<DWORD, 6>;

std::vector<BYTE> BytesOf(const Words& words)
{
    std::vector<BYTE> bytes(24);
    std::memcpy(bytes.data(), words.data(), 24);
    return bytes;
}

void Apply(Words& words, const std::vector<BYTE>& written)
{
    std::memcpy(words.data(), written.data(), written.size() < 24 ? written.size() : 24);
}

// What the value device writes back for a request of this run.
std::vector<BYTE> ValueAnswer(const Run& run, const std::vector<BYTE>& input, bool read)
{
    std::vector<BYTE> out = input;
    out.resize(24);
    if (read) {
        std::memcpy(out.data() + 12, &run.answeredSelection, 4);
    }
    if (run.flags & kTrailingWritten) {
        std::memcpy(out.data() + 16, &run.trailing, 4);
        std::memcpy(out.data() + 20, &run.trailing, 4);
    }
    if (read && (run.flags & kReadShort)) {
        out.resize(12);
    }
    return out;
}

struct Expected {
    standin::DeviceCall call;
    const char* device;
    bool succeeded;
    std::vector<BYTE> input;  // for value requests: the exact 24 bytes
};

const Run* g_run;  // the run the devices answer for, set before each run

standin::DeviceAnswer AnswerValue(const standin::DeviceRequest& request)
{
    DWORD function = standin::WordAt(request.input, 0);
    bool read = function == 0xFE00;
    std::vector<BYTE> out = ValueAnswer(*g_run, request.input, read);
    bool fails = (g_run->flags & (read ? kReadFails : kWriteFails)) != 0;
    return fails ? standin::FailRequest(ERROR_GEN_FAILURE, out) : standin::AnswerBytes(out);
}

standin::DeviceAnswer AnswerQuery(const standin::DeviceRequest&)
{
    std::vector<BYTE> reply = standin::QueryReplyBytes(g_run->status, g_run->level, g_run->targetIndex, 0x5A);
    return (g_run->flags & kQueryFails) ? standin::FailRequest(ERROR_GEN_FAILURE, reply)
                                        : standin::AnswerBytes(reply);
}

DWORD TargetOf(const Run& run)
{
    if ((run.flags & (kQueryOpenFails | kQueryFails)) || run.status != 0 || run.level > 4 ||
        run.targetIndex < 1 || run.targetIndex > 5) {
        return 0;
    }
    return 1u << (run.targetIndex - 1);
}

// The platform calls a run makes, counted from the run's start, so that an
// open can be made to fail by its position.
struct Model {
    std::vector<Expected> ops;
    std::vector<size_t> failedOpens;
    size_t calls = 0;
};

void Open(Model& model, const char* device, bool opens)
{
    if (!opens) {
        model.failedOpens.push_back(model.calls);
    }
    model.ops.push_back({standin::DeviceCall::Open, device, opens, {}});
    model.calls += 1;
}

// The decision rule on the model of the record: the operations that the run
// must make, and where its failing opens fall.
Model ModelRun(const Run& run, Words& words)
{
    Model model;
    std::vector<Expected>& ops = model.ops;
    const char* value = standin::kValueDevice;
    const char* query = standin::kQueryDevice;
    bool readOpens = !(run.flags & kReadOpenFails);
    Open(model, value, readOpens);
    if (!readOpens) {
        return model;
    }
    words[0] = 0xFE00;
    words[1] = 0xC000;
    words[2] = 2;
    std::vector<BYTE> readInput = BytesOf(words);
    ops.push_back({standin::DeviceCall::Control, value, !(run.flags & kReadFails), readInput});
    Apply(words, ValueAnswer(run, readInput, true));
    ops.push_back({standin::DeviceCall::Close, value, true, {}});
    model.calls += 2;  // DeviceIoControl, CloseHandle
    DWORD active = words[3];
    if (active != 1 && active != 2) {
        return model;
    }
    bool queryOpens = !(run.flags & kQueryOpenFails);
    Open(model, query, queryOpens);
    if (queryOpens) {
        ops.push_back({standin::DeviceCall::Control, query, !(run.flags & kQueryFails), {}});
        ops.push_back({standin::DeviceCall::Close, query, true, {}});
        model.calls += 5;  // GetProcessHeap, HeapAlloc, DeviceIoControl, HeapFree, CloseHandle
    }
    DWORD target = TargetOf(run);
    if (target == 0 || target == active) {
        return model;
    }
    bool writeOpens = !(run.flags & kWriteOpenFails);
    Open(model, value, writeOpens);
    if (!writeOpens) {
        return model;
    }
    words[0] = 0xFF00;
    words[1] = 0xC000;
    words[2] = 2;
    words[3] = target;
    std::vector<BYTE> writeInput = BytesOf(words);
    ops.push_back({standin::DeviceCall::Control, value, !(run.flags & kWriteFails), writeInput});
    Apply(words, ValueAnswer(run, writeInput, false));
    ops.push_back({standin::DeviceCall::Close, value, true, {}});
    model.calls += 2;
    return model;
}

bool g_devicesSet;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kRunBytes = 12;
    if (!g_devicesSet) {
        standin::SimulateDevice(standin::kValueDevice, standin::DeviceHandler(AnswerValue));
        standin::SimulateDevice(standin::kQueryDevice, standin::DeviceHandler(AnswerQuery));
        g_devicesSet = true;
    }
    // The record lives as long as the process; the model starts from what
    // earlier inputs left in it, and checks it after every run.
    Words words;
    std::memcpy(words.data(), &g_valueRequest, sizeof words);

    for (size_t offset = 0; offset + kRunBytes <= size && offset < 16 * kRunBytes; offset += kRunBytes) {
        const Run run = ParseRun(data + offset);
        g_run = &run;
        standin::ClearDeviceLog();
        standin::ClearCallLog();
        standin::ClearFailures();
        const Model model = ModelRun(run, words);
        const std::vector<Expected>& expected = model.ops;
        for (size_t position : model.failedOpens) {
            standin::FailNthCall(position, ERROR_ACCESS_DENIED);
        }

        RestoreDisplaySelection();

        const std::vector<standin::DeviceRecord> log = standin::DeviceLog();
        FUZZ_CHECK(standin::CallLog().size() == model.calls);

        FUZZ_CHECK(log.size() == expected.size());
        for (size_t i = 0; i < log.size(); ++i) {
            FUZZ_CHECK(log[i].call == expected[i].call);
            FUZZ_CHECK(log[i].device == expected[i].device);
            FUZZ_CHECK(log[i].succeeded == expected[i].succeeded);
            if (log[i].call == standin::DeviceCall::Control && log[i].device == standin::kValueDevice) {
                FUZZ_CHECK(log[i].code == 0x222880 && log[i].inSize == 24 && log[i].outSize == 24);
                FUZZ_CHECK(log[i].input == expected[i].input);
            }
            if (log[i].call == standin::DeviceCall::Open && log[i].device == standin::kValueDevice) {
                FUZZ_CHECK(log[i].access == (GENERIC_READ | GENERIC_WRITE) && log[i].share == 0 &&
                           log[i].disposition == OPEN_EXISTING && log[i].flags == 0);
            }
        }
        FUZZ_CHECK(std::memcmp(words.data(), &g_valueRequest, sizeof words) == 0);
        FUZZ_CHECK(standin::OpenHandleCount() == 0);
        FUZZ_CHECK(standin::LiveHeapBlockCount() == 0);
    }
    g_run = nullptr;
    return 0;
}
