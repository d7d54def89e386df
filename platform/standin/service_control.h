// Stand-in for the service side of the SCM: the control dispatcher, handler
// registration and status reports. A test switches the simulated SCM on,
// queues the controls it wants delivered (each held back until its condition
// holds), then calls StartServiceCtrlDispatcherA from the test thread, which
// so becomes the dispatcher thread, exactly as the entry point's thread does.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace standin {

// How long any wait of the simulated SCM, or of a test through it, lasts at
// most. A run of the dispatcher that outlasts it ends the process with a
// message instead of hanging the test run.
constexpr std::chrono::milliseconds kScmTimeout{10000};

// The thread a report came from, as the SCM would see it.
enum class ReportingThread { Service, Dispatcher, Other };

// One SetServiceStatus call as the SCM received it.
struct StatusReport {
    SERVICE_STATUS_HANDLE handle;
    SERVICE_STATUS status;  // all seven fields, copied at the call
    ReportingThread thread;
    std::thread::id threadId;
    bool taken;  // false: the call failed (planned failure or unknown handle)
};

// One RegisterServiceCtrlHandlerExA call that succeeded.
struct HandlerRegistration {
    std::string serviceName;
    LPHANDLER_FUNCTION_EX handler;
    LPVOID context;
    SERVICE_STATUS_HANDLE handle;
    std::thread::id threadId;
};

// Decides when a queued control may be delivered. Evaluated on the
// dispatcher thread with no stand-in lock held, whenever the SCM's state
// changes and at short intervals besides.
using ControlCondition = std::function<bool()>;

// Once the SCM has taken a report of this state.
ControlCondition OnceReported(DWORD state);

// Once the SCM has taken this many reports.
ControlCondition OnceReportCount(std::size_t count);

// A condition that the test opens by hand.
class ControlGate {
public:
    ControlGate();
    void Open();
    bool IsOpen() const;
    ControlCondition Opened() const;

private:
    std::shared_ptr<std::atomic<bool>> open_;
};

struct ControlRecord {
    DWORD control;
    DWORD eventType;
    LPVOID eventData;
    bool delivered;  // the handler was called and has returned
    bool dropped;    // the service ended before the control was delivered
    DWORD result;    // the handler's result, when delivered
    std::size_t reportsBefore;  // reports recorded when the handler was called
};

// Switches the simulated SCM on: the next StartServiceCtrlDispatcherA starts
// the table's first service with these start arguments (by default the
// service name alone, as the SCM passes it).
void EnableScm(std::vector<std::string> startArgs = {});

// Back to a process that no SCM started: the dispatcher fails with 1063.
void DisableScm();

// Queues a control for the dispatcher, delivered in queue order once the
// service has registered its handler and `when` holds; callable before the
// start and from any thread while the service runs. Returns its index.
std::size_t QueueControl(DWORD control, DWORD eventType = 0, ControlCondition when = {},
                         LPVOID eventData = nullptr);

// Waits until the control at `index` has been delivered or dropped; false on
// time-out.
bool WaitForControl(std::size_t index, std::chrono::milliseconds timeout = kScmTimeout);

// Waits until `condition` holds, re-checking whenever the SCM's state changes;
// false on time-out. For call hooks that hold a thread at a chosen point.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kScmTimeout);

std::vector<StatusReport> StatusReports();
std::vector<ControlRecord> Controls();
std::vector<HandlerRegistration> HandlerRegistrations();

// The start arguments and service name of the last dispatcher run.
std::vector<std::string> StartArgs();
std::string DispatchedServiceName();

// The threads of the current or last dispatcher run.
std::thread::id ServiceThreadId();
std::thread::id DispatcherThreadId();

// Whether the service thread's main function has returned.
bool ServiceEnded();

}  // namespace standin
