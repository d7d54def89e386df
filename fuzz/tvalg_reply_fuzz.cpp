// Any answer of \\.\TVALG, as the driver could give it, through
// QueryTargetSelection: the reply bytes (0 to 36 of them, the rest of the
// buffer left as the service zeroed it), any count of returned bytes, a
// request that succeeds or fails, a device that does not open, a reply
// buffer that cannot be had. The result is checked against the reply rules
// as the driver's documentation states them, and every handle and heap block
// must be given back.
//
// Input: byte 0 chooses the situation, byte 1 the count of returned bytes,
// bytes 2.. are what the device writes (cut at 36 by the device).
#include "display/device_protocol.h"
#include "fuzz/fuzz_check.h"
#include "platform/standin/device_io.h"
#include "platform/standin/memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

enum : uint8_t {
    kOpenFails = 1 << 0,       // \\.\TVALG refuses the open
    kDeviceAbsent = 1 << 1,    // no \\.\TVALG at all
    kHeapFails = 1 << 2,       // the reply buffer cannot be had
    kRequestFails = 1 << 3,    // the request fails (the device may have written)
    kCountGiven = 1 << 4,      // byte 1 is the count reported
};

// The reply rules: offset 20 (16 bits) must be 0, offset 22 (16 bits) at most
// 4, the index at offset 24 names output 1 to 5; bytes the device did not
// write read as 0.
DWORD ExpectedTarget(const std::vector<BYTE>& written)
{
    BYTE reply[36] = {};
    for (std::size_t i = 0; i < written.size() && i < sizeof reply; ++i) {
        reply[i] = written[i];
    }
    unsigned status = reply[20] | (reply[21] << 8);
    unsigned level = reply[22] | (reply[23] << 8);
    unsigned index = reply[24];
    if (status != 0 || level > 4 || index < 1 || index > 5) {
        return 0;
    }
    return 1u << (index - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];
    const std::vector<BYTE> written(data + 2, data + size);

    standin::ClearFailures();
    standin::ClearCallLog();
    standin::ClearDeviceLog();
    if (flags & kDeviceAbsent) {
        standin::RemoveDevice(standin::kQueryDevice);
    } else {
        standin::DeviceAnswer answer = (flags & kRequestFails) ? standin::FailRequest(ERROR_GEN_FAILURE, written)
                                                               : standin::AnswerBytes(written);
        if (flags & kCountGiven) {
            answer.returned = data[1];
        }
        standin::SimulateDevice(standin::kQueryDevice, [answer](const standin::DeviceRequest&) { return answer; });
    }
    if (flags & kOpenFails) {
        standin::FailDeviceOpen(standin::kQueryDevice, ERROR_ACCESS_DENIED, 1);
    }
    if (flags & kHeapFails) {
        standin::FailCall(standin::Call::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY, 1);
    }

    const DWORD target = QueryTargetSelection();

    const bool opens = !(flags & (kOpenFails | kDeviceAbsent));
    const bool asks = opens && !(flags & kHeapFails);
    DWORD expected = 0;
    if (asks && !(flags & kRequestFails)) {
        expected = ExpectedTarget(written);
    }
    FUZZ_CHECK(target == expected);
    FUZZ_CHECK(standin::OpenHandleCount() == 0);
    FUZZ_CHECK(standin::LiveHeapBlockCount() == 0);
    FUZZ_CHECK(standin::InvalidHeapFreeCount() == 0);

    // Open, then (with a buffer) one query, then the close; nothing on the
    // value device.
    const std::vector<standin::DeviceRecord> log = standin::DeviceLog();
    FUZZ_CHECK(!log.empty());
    FUZZ_CHECK(log[0].call == standin::DeviceCall::Open && log[0].device == standin::kQueryDevice);
    FUZZ_CHECK(log[0].access == GENERIC_READ && log[0].share == FILE_SHARE_READ &&
               log[0].disposition == OPEN_EXISTING && log[0].flags == FILE_ATTRIBUTE_NORMAL);
    FUZZ_CHECK(log[0].succeeded == opens);
    if (!opens) {
        FUZZ_CHECK(log.size() == 1);
        return 0;
    }
    std::size_t next = 1;
    if (asks) {
        FUZZ_CHECK(log.size() == 3);
        const standin::DeviceRecord& query = log[1];
        FUZZ_CHECK(query.call == standin::DeviceCall::Control && query.code == 0x222940);
        FUZZ_CHECK(query.inSize == 32 && query.outSize == 36 && query.input.size() == 32);
        FUZZ_CHECK(standin::WordAt(query.input, 4) == 8 && standin::WordAt(query.input, 8) == 0x42696541 &&
                   standin::WordAt(query.input, 12) == 0x53444442);
        FUZZ_CHECK(query.overlappedNull && query.returnedPointer);
        next = 2;
    } else {
        FUZZ_CHECK(log.size() == 2);
    }
    FUZZ_CHECK(log[next].call == standin::DeviceCall::Close && log[next].handle == log[0].handle);
    return 0;
}
