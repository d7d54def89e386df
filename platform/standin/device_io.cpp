#include "platform/standin/device_io.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace standin {
namespace {

struct OpenFailure {
    DWORD error;
    int times;
    int skip;
};

// Guards everything below; never held while a handler or hook runs.
std::mutex g_mutex;
std::map<std::string, std::shared_ptr<DeviceHandler>> g_devices;
std::map<std::string, std::vector<OpenFailure>> g_openFailures;
std::map<HANDLE, std::string> g_openDevices;
std::vector<DeviceRecord> g_log;
std::shared_ptr<std::function<void(const DeviceRequest&)>> g_requestHook;

// The display driver model's state, under its own lock.
std::mutex g_driverMutex;
DWORD g_driverActive;
BYTE g_driverTarget;

// The object of every device handle in the shared account; the device's name
// lives in g_openDevices, so a close racing a request finds nothing freed.
char g_deviceTag;

void Append(DeviceRecord record)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.push_back(std::move(record));
}

void RecordClose(HANDLE handle, void*)
{
    DeviceRecord record;
    record.call = DeviceCall::Close;
    record.thread = std::this_thread::get_id();
    record.handle = handle;
    record.succeeded = true;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_openDevices.find(handle);
    if (found != g_openDevices.end()) {
        record.device = found->second;
        g_openDevices.erase(found);
    }
    g_log.push_back(std::move(record));
}

// Whether a planned open failure applies to this open of `name`.
bool TakeOpenFailure(const std::string& name, DWORD* error)
{
    auto found = g_openFailures.find(name);
    if (found == g_openFailures.end()) {
        return false;
    }
    for (OpenFailure& planned : found->second) {
        if (planned.times == 0) {
            continue;
        }
        if (planned.skip > 0) {
            --planned.skip;
            continue;
        }
        if (planned.times > 0) {
            --planned.times;
        }
        *error = planned.error;
        return true;
    }
    return false;
}

DeviceAnswer AnswerValueRequest(const DeviceRequest& request)
{
    constexpr DWORD kValueCode = 0x222880;
    if (request.code != kValueCode || request.input.size() < 24 || request.outSize < 24) {
        return FailRequest(ERROR_INVALID_PARAMETER);
    }
    std::vector<BYTE> record(request.input.begin(), request.input.begin() + 24);
    DWORD function = WordAt(record, 0);
    std::lock_guard<std::mutex> lock(g_driverMutex);
    if (function == 0xFE00) {
        std::memcpy(record.data() + 12, &g_driverActive, 4);
    } else if (function == 0xFF00) {
        g_driverActive = WordAt(record, 12);
    } else {
        return FailRequest(ERROR_INVALID_PARAMETER);
    }
    return AnswerBytes(std::move(record));
}

DeviceAnswer AnswerQueryRequest(const DeviceRequest& request)
{
    constexpr DWORD kQueryCode = 0x222940;
    if (request.code != kQueryCode || request.input.size() < 32 || request.outSize < 36) {
        return FailRequest(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(g_driverMutex);
    return AnswerBytes(QueryReplyBytes(0, 1, g_driverTarget));
}

}  // namespace

DeviceAnswer AnswerBytes(std::vector<BYTE> bytes, std::optional<DWORD> returned)
{
    DeviceAnswer answer;
    answer.output = std::move(bytes);
    answer.returned = returned;
    return answer;
}

DeviceAnswer FailRequest(DWORD error, std::vector<BYTE> bytes)
{
    DeviceAnswer answer;
    answer.succeeds = false;
    answer.error = error;
    answer.output = std::move(bytes);
    return answer;
}

void SimulateDevice(const std::string& name, DeviceHandler handler)
{
    auto shared = std::make_shared<DeviceHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(g_mutex);
    g_devices[name] = std::move(shared);
}

void SimulateDevice(const std::string& name, std::vector<DeviceAnswer> answers)
{
    struct Script {
        std::mutex mutex;
        std::vector<DeviceAnswer> answers;
        std::size_t next = 0;
    };
    auto script = std::make_shared<Script>();
    script->answers = std::move(answers);
    SimulateDevice(name, [script](const DeviceRequest&) {
        std::lock_guard<std::mutex> lock(script->mutex);
        if (script->next == script->answers.size()) {
            return FailRequest(ERROR_GEN_FAILURE);
        }
        return script->answers[script->next++];
    });
}

void RemoveDevice(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_devices.erase(name);
}

void FailDeviceOpen(const std::string& name, DWORD error, int times, int skip)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_openFailures[name].push_back({error, times, skip});
}

void SetDeviceRequestHook(std::function<void(const DeviceRequest&)> hook)
{
    std::shared_ptr<std::function<void(const DeviceRequest&)>> shared;
    if (hook) {
        shared = std::make_shared<std::function<void(const DeviceRequest&)>>(std::move(hook));
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requestHook = std::move(shared);
}

void SimulateDisplayDriver(DWORD activeSelection, BYTE targetIndex)
{
    {
        std::lock_guard<std::mutex> lock(g_driverMutex);
        g_driverActive = activeSelection;
        g_driverTarget = targetIndex;
    }
    SimulateDevice(kValueDevice, AnswerValueRequest);
    SimulateDevice(kQueryDevice, AnswerQueryRequest);
}

DWORD SimulatedActiveSelection()
{
    std::lock_guard<std::mutex> lock(g_driverMutex);
    return g_driverActive;
}

void SetSimulatedTargetIndex(BYTE targetIndex)
{
    std::lock_guard<std::mutex> lock(g_driverMutex);
    g_driverTarget = targetIndex;
}

std::vector<BYTE> WordBytes(std::initializer_list<DWORD> words)
{
    std::vector<BYTE> bytes;
    for (DWORD word : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<BYTE>(word >> shift));
        }
    }
    return bytes;
}

DWORD WordAt(const std::vector<BYTE>& bytes, std::size_t offset)
{
    DWORD word = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (offset + i < bytes.size()) {
            word |= static_cast<DWORD>(bytes[offset + i]) << (8 * i);
        }
    }
    return word;
}

void SimulateFixedActiveSelection(DWORD activeSelection)
{
    SimulateDevice(kValueDevice, [activeSelection](const DeviceRequest& request) {
        std::vector<BYTE> answer = request.input;
        if (WordAt(request.input, 0) == 0xFE00) {
            std::vector<BYTE> selection = WordBytes({activeSelection});
            std::copy(selection.begin(), selection.end(), answer.begin() + 12);
        }
        return AnswerBytes(answer);
    });
}

std::vector<BYTE> QueryReplyBytes(WORD status, WORD level, BYTE targetIndex, BYTE fill)
{
    std::vector<BYTE> bytes(36, fill);
    bytes[20] = static_cast<BYTE>(status);
    bytes[21] = static_cast<BYTE>(status >> 8);
    bytes[22] = static_cast<BYTE>(level);
    bytes[23] = static_cast<BYTE>(level >> 8);
    bytes[24] = targetIndex;
    return bytes;
}

std::vector<DeviceRecord> DeviceLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_log;
}

void ClearDeviceLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.clear();
}

}  // namespace standin

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    using namespace standin;
    bool planned = EnterCall(Call::CreateFileA);
    DeviceRecord record;
    record.call = DeviceCall::Open;
    record.thread = std::this_thread::get_id();
    record.device = lpFileName != nullptr ? lpFileName : "";
    record.access = dwDesiredAccess;
    record.share = dwShareMode;
    record.securityNull = lpSecurityAttributes == nullptr;
    record.disposition = dwCreationDisposition;
    record.flags = dwFlagsAndAttributes;
    record.templateNull = hTemplateFile == nullptr;

    DWORD error = GetLastError();
    bool opens = false;
    if (!planned) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!TakeOpenFailure(record.device, &error)) {
            opens = g_devices.count(record.device) != 0;
            error = ERROR_FILE_NOT_FOUND;
        }
    }
    if (!opens) {
        SetLastError(error);
        record.error = error;
        Append(std::move(record));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = OpenHandle(HandleKind::Device, &g_deviceTag, RecordClose);
    record.handle = handle;
    record.succeeded = true;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_openDevices[handle] = record.device;
    g_log.push_back(std::move(record));
    return handle;
}

// Requests are answered synchronously whatever lpOverlapped says; the input
// is taken before the answer is written, so one buffer may serve as both, as
// the I/O manager's buffered transfer allows.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped)
{
    using namespace standin;
    bool planned = EnterCall(Call::DeviceIoControl);
    DeviceRecord record;
    record.call = DeviceCall::Control;
    record.thread = std::this_thread::get_id();
    record.handle = hDevice;
    record.code = dwIoControlCode;
    record.inSize = nInBufferSize;
    record.outSize = nOutBufferSize;
    if (lpInBuffer != nullptr && nInBufferSize > 0) {
        const BYTE* in = static_cast<const BYTE*>(lpInBuffer);
        record.input.assign(in, in + nInBufferSize);
    }
    record.returnedPointer = lpBytesReturned != nullptr;
    record.overlappedNull = lpOverlapped == nullptr;

    std::shared_ptr<DeviceHandler> handler;
    std::shared_ptr<std::function<void(const DeviceRequest&)>> hook;
    DWORD error = GetLastError();
    if (!planned) {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto open = g_openDevices.find(hDevice);
        if (open == g_openDevices.end()) {
            error = ERROR_INVALID_HANDLE;
        } else {
            record.device = open->second;
            auto device = g_devices.find(record.device);
            if (device == g_devices.end()) {
                // Unloaded while the handle was open.
                error = ERROR_GEN_FAILURE;
            } else if (lpBytesReturned == nullptr && lpOverlapped == nullptr) {
                error = ERROR_INVALID_PARAMETER;
            } else {
                handler = device->second;
                hook = g_requestHook;
            }
        }
    } else {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto open = g_openDevices.find(hDevice);
        if (open != g_openDevices.end()) {
            record.device = open->second;
        }
    }

    if (handler == nullptr) {
        if (lpBytesReturned != nullptr) {
            *lpBytesReturned = 0;
        }
        SetLastError(error);
        record.error = error;
        Append(std::move(record));
        return FALSE;
    }

    DeviceRequest request;
    request.device = record.device;
    request.code = dwIoControlCode;
    request.input = record.input;
    request.outSize = nOutBufferSize;
    if (hook != nullptr) {
        (*hook)(request);
    }
    DeviceAnswer answer = (*handler)(request);

    std::size_t written = lpOutBuffer != nullptr ? std::min<std::size_t>(answer.output.size(), nOutBufferSize) : 0;
    if (written > 0) {
        std::memcpy(lpOutBuffer, answer.output.data(), written);
    }
    record.output.assign(answer.output.begin(), answer.output.begin() + static_cast<std::ptrdiff_t>(written));
    record.returned = answer.returned.value_or(static_cast<DWORD>(written));
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = record.returned;
    }
    record.succeeded = answer.succeeds;
    if (!answer.succeeds) {
        record.error = answer.error;
        SetLastError(answer.error);
    }
    Append(std::move(record));
    return answer.succeeds ? TRUE : FALSE;
}
