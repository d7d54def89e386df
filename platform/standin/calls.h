// Stand-in core: the record of every platform call the product makes, the
// failures a test plans for them, a hook that runs at every call, the
// thread's last error and the account of open handles.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace standin {

enum class Call {
    CreateFileA,
    DeviceIoControl,
    CloseHandle,
    GetProcessHeap,
    HeapAlloc,
    HeapFree,
    CreateEventA,
    SetEvent,
    WaitForSingleObject,
    FormatMessageA,
    LocalFree,
    GetModuleFileNameA,
    Sleep,
    StartServiceCtrlDispatcherA,
    RegisterServiceCtrlHandlerExA,
    SetServiceStatus,
    OpenSCManagerA,
    CreateServiceA,
    OpenServiceA,
    ControlService,
    QueryServiceStatus,
    DeleteService,
    CloseServiceHandle,
    RegisterEventSourceA,
    ReportEventA,
    DeregisterEventSource,
};

const char* CallName(Call call);

struct CallRecord {
    Call call;
    std::thread::id thread;
    bool failed;  // made to fail by the plan
};

// Every call of the product, in order, from every thread.
std::vector<CallRecord> CallLog();
void ClearCallLog();

constexpr int kAlways = -1;

// The next `times` calls of `call` (after `skip` that succeed) fail with
// `error` as the thread's last error; kAlways for every later call.
void FailCall(Call call, DWORD error, int times = 1, int skip = 0);

// The call at this position of the call log (counting from 0) fails.
void FailNthCall(std::size_t position, DWORD error);

// Drops every planned failure.
void ClearFailures();

// Runs at the start of every logged call, on the calling thread and outside
// the stand-in's own locks: tests widen race windows or act at a precise
// point of the product's run with it.
void SetCallHook(std::function<void(Call)> hook);

// For the stand-in's functions: logs the call, runs the hook and answers
// whether this call is to fail; when it is, the last error is already set.
bool EnterCall(Call call);

// Handles of every kind share one account.
enum class HandleKind { Device, Event, EventSource, ServiceManager, Service };

using CloseAction = void (*)(HANDLE handle, void* object);

// A new handle value for `object`; `onClose` (may be null) runs when the
// handle is closed through CloseHandle, CloseServiceHandle or
// DeregisterEventSource.
HANDLE OpenHandle(HandleKind kind, void* object, CloseAction onClose);

// The object of an open handle of that kind, or null.
void* FindHandle(HANDLE handle, HandleKind kind);

// Closes an open handle of that kind; false when there is none.
bool CloseHandleOf(HANDLE handle, HandleKind kind);

std::size_t OpenHandleCount();
std::size_t OpenHandleCount(HandleKind kind);

}  // namespace standin
