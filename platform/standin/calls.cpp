#include "platform/standin/calls.h"

#include <map>
#include <mutex>

namespace standin {
namespace {

struct PlannedFailure {
    Call call;
    DWORD error;
    int times;
    int skip;
};

struct OpenEntry {
    HandleKind kind;
    void* object;
    CloseAction onClose;
};

std::mutex g_mutex;
std::vector<CallRecord> g_log;
std::vector<PlannedFailure> g_failures;
std::map<std::size_t, DWORD> g_nthFailures;
std::function<void(Call)> g_hook;
std::map<std::uintptr_t, OpenEntry> g_handles;
std::uintptr_t g_nextHandle = 0x100;

thread_local DWORD t_lastError;

}  // namespace

const char* CallName(Call call)
{
    static const char* const names[] = {
        "CreateFileA",        "DeviceIoControl",
        "CloseHandle",        "GetProcessHeap",
        "HeapAlloc",          "HeapFree",
        "CreateEventA",       "SetEvent",
        "WaitForSingleObject", "FormatMessageA",
        "LocalFree",          "GetModuleFileNameA",
        "Sleep",              "StartServiceCtrlDispatcherA",
        "RegisterServiceCtrlHandlerExA", "SetServiceStatus",
        "OpenSCManagerA",     "CreateServiceA",
        "OpenServiceA",       "ControlService",
        "QueryServiceStatus", "DeleteService",
        "CloseServiceHandle", "RegisterEventSourceA",
        "ReportEventA",       "DeregisterEventSource",
    };
    return names[static_cast<int>(call)];
}

std::vector<CallRecord> CallLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_log;
}

void ClearCallLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.clear();
}

void FailCall(Call call, DWORD error, int times, int skip)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failures.push_back({call, error, times, skip});
}

void FailNthCall(std::size_t position, DWORD error)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nthFailures[position] = error;
}

void ClearFailures()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failures.clear();
    g_nthFailures.clear();
}

void SetCallHook(std::function<void(Call)> hook)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook = std::move(hook);
}

bool EnterCall(Call call)
{
    std::function<void(Call)> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_hook;
    }
    if (hook) {
        hook(call);
    }

    std::lock_guard<std::mutex> lock(g_mutex);
    bool fails = false;
    DWORD error = 0;
    auto nth = g_nthFailures.find(g_log.size());
    if (nth != g_nthFailures.end()) {
        fails = true;
        error = nth->second;
        g_nthFailures.erase(nth);
    }
    for (PlannedFailure& planned : g_failures) {
        if (fails || planned.call != call || planned.times == 0) {
            continue;
        }
        if (planned.skip > 0) {
            --planned.skip;
            continue;
        }
        fails = true;
        error = planned.error;
        if (planned.times > 0) {
            --planned.times;
        }
    }
    g_log.push_back({call, std::this_thread::get_id(), fails});
    if (fails) {
        t_lastError = error;
    }
    return fails;
}

HANDLE OpenHandle(HandleKind kind, void* object, CloseAction onClose)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_handles[value] = {kind, object, onClose};
    return reinterpret_cast<HANDLE>(value);
}

void* FindHandle(HANDLE handle, HandleKind kind)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == g_handles.end() || found->second.kind != kind) {
        return nullptr;
    }
    return found->second.object;
}

bool CloseHandleOf(HANDLE handle, HandleKind kind)
{
    OpenEntry entry;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto found = g_handles.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == g_handles.end() || found->second.kind != kind) {
            return false;
        }
        entry = found->second;
        g_handles.erase(found);
    }
    if (entry.onClose != nullptr) {
        entry.onClose(handle, entry.object);
    }
    return true;
}

std::size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_handles.size();
}

std::size_t OpenHandleCount(HandleKind kind)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::size_t count = 0;
    for (const auto& entry : g_handles) {
        count += entry.second.kind == kind ? 1 : 0;
    }
    return count;
}

}  // namespace standin

DWORD GetLastError()
{
    return standin::t_lastError;
}

VOID SetLastError(DWORD dwErrCode)
{
    standin::t_lastError = dwErrCode;
}

// Device and event handles both close here, each by its own close action.
BOOL CloseHandle(HANDLE hObject)
{
    if (standin::EnterCall(standin::Call::CloseHandle)) {
        return FALSE;
    }
    if (standin::CloseHandleOf(hObject, standin::HandleKind::Device) ||
        standin::CloseHandleOf(hObject, standin::HandleKind::Event)) {
        return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
