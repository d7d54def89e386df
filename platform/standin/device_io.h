// Stand-in device I/O: simulated devices that the service opens by name with
// CreateFileA and talks to with DeviceIoControl, each answering as a test
// scripts it, and the record of every open, request and close.
//
// A name that no test registered does not open (ERROR_FILE_NOT_FOUND), so a
// test that sets up nothing meets a machine without the display driver.
// Everything here may be used from several threads at once; answer functions
// and the request hook run outside the stand-in's locks, so they may sleep,
// and must themselves be safe for the threads that reach them.
#pragma once

#include "platform/platform.h"
#include "platform/standin/calls.h"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace standin {

// The display control driver's devices, spelled as CreateFileA receives them.
inline constexpr const char* kValueDevice = "\\\\.\\TVALD";
inline constexpr const char* kQueryDevice = "\\\\.\\TVALG";

// One request as the device sees it.
struct DeviceRequest {
    std::string device;
    DWORD code = 0;
    std::vector<BYTE> input;  // the bytes that went in, copied before the answer
    DWORD outSize = 0;
};

// How a device answers one request.
struct DeviceAnswer {
    bool succeeds = true;
    DWORD error = 0;                // the last error when the request fails
    std::vector<BYTE> output;       // written from the start of the output buffer, cut at its size
    std::optional<DWORD> returned;  // the count reported; the bytes written when not given
};

using DeviceHandler = std::function<DeviceAnswer(const DeviceRequest&)>;

// Answers with these bytes; the count reported is their number unless given.
DeviceAnswer AnswerBytes(std::vector<BYTE> bytes, std::optional<DWORD> returned = std::nullopt);

// The request fails with `error`; the device may still have written `bytes`.
DeviceAnswer FailRequest(DWORD error, std::vector<BYTE> bytes = {});

// Registers (or replaces) a device that answers every request with `handler`.
void SimulateDevice(const std::string& name, DeviceHandler handler);

// A device that gives these answers in turn; once they are used up, every
// further request fails with ERROR_GEN_FAILURE and writes nothing.
void SimulateDevice(const std::string& name, std::vector<DeviceAnswer> answers);

// The device is gone: opens fail with ERROR_FILE_NOT_FOUND again.
void RemoveDevice(const std::string& name);

// The next `times` opens of `name` (after `skip` that go ahead as usual) fail
// with `error`, whether the device is registered or not; kAlways for all.
void FailDeviceOpen(const std::string& name, DWORD error, int times = kAlways, int skip = 0);

// Runs inside every request that reaches a device, after its input has been
// taken and before the answer is written, on the calling thread: tests widen
// race windows here. Null removes it.
void SetDeviceRequestHook(std::function<void(const DeviceRequest&)> hook);

// A model of the display control driver behind both devices. \\.\TVALD holds
// the active selection: function 0xFE00 writes it into the selection word
// (offset 12) of the 24-byte record, 0xFF00 takes the selection word as the
// new active one; the rest of the record comes back as it went in.
// \\.\TVALG answers a query with a 36-byte reply: 0 at offset 20, 1 at offset
// 22 and the target index at offset 24. Requests with another control code or
// smaller buffers fail with ERROR_INVALID_PARAMETER.
void SimulateDisplayDriver(DWORD activeSelection, BYTE targetIndex);
DWORD SimulatedActiveSelection();
void SetSimulatedTargetIndex(BYTE targetIndex);

// A \\.\TVALD whose reads always answer `activeSelection` and whose writes
// change nothing, so that every restore run finds the same selection again.
void SimulateFixedActiveSelection(DWORD activeSelection);

// Little-endian bytes of 32-bit words, and a word read back from bytes (0
// past their end).
std::vector<BYTE> WordBytes(std::initializer_list<DWORD> words);
DWORD WordAt(const std::vector<BYTE>& bytes, std::size_t offset);

// The 36 bytes of a \\.\TVALG reply with these three examined fields and
// `fill` everywhere else.
std::vector<BYTE> QueryReplyBytes(WORD status, WORD level, BYTE targetIndex, BYTE fill = 0);

enum class DeviceCall { Open, Control, Close };

// One entry of the device record.
struct DeviceRecord {
    DeviceCall call = DeviceCall::Open;
    std::thread::id thread;
    std::string device;   // the name opened; for requests and closes, the handle's device ("" if none)
    HANDLE handle = INVALID_HANDLE_VALUE;  // returned by the open, or passed in
    bool succeeded = false;
    DWORD error = 0;      // the last error left by a failed open or request

    // Open.
    DWORD access = 0;
    DWORD share = 0;
    bool securityNull = false;
    DWORD disposition = 0;
    DWORD flags = 0;
    bool templateNull = false;

    // Control.
    DWORD code = 0;
    DWORD inSize = 0;
    DWORD outSize = 0;
    std::vector<BYTE> input;   // the exact bytes that went in
    std::vector<BYTE> output;  // the bytes written into the output buffer
    DWORD returned = 0;        // the count stored through the returned-count pointer
    bool returnedPointer = false;  // a returned-count pointer was passed
    bool overlappedNull = false;
};

// Every CreateFileA, DeviceIoControl and device-handle close, from every
// thread, in the order they completed.
std::vector<DeviceRecord> DeviceLog();
void ClearDeviceLog();

}  // namespace standin
