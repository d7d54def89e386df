#include "platform/standin/service_control.h"

#include "platform/standin/calls.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace standin {
namespace {

struct QueuedControl {
    ControlRecord record;
    ControlCondition when;
};

std::mutex g_mutex;
std::condition_variable g_changed;

bool g_enabled;
bool g_running;
bool g_ended;
std::vector<std::string> g_startArgs;
std::string g_serviceName;
std::thread::id g_serviceThread;
std::thread::id g_dispatcherThread;

std::vector<StatusReport> g_reports;
std::vector<HandlerRegistration> g_registrations;
std::vector<QueuedControl> g_controls;
std::size_t g_nextControl;

// Status handles are the SCM's own and are never closed, so they stay out of
// the shared handle account that tests check for leaks.
std::uintptr_t g_nextStatusHandle = 0x5C000;

// How often held-back conditions are looked at again even when nothing in the
// SCM changed (a condition may depend on the test's own state).
constexpr std::chrono::milliseconds kRecheck{2};

void NotifyChanged()
{
    g_changed.notify_all();
}

std::size_t TakenReportsLocked()
{
    std::size_t taken = 0;
    for (const StatusReport& report : g_reports) {
        taken += report.taken ? 1 : 0;
    }
    return taken;
}

bool KnownStatusHandleLocked(SERVICE_STATUS_HANDLE handle)
{
    for (const HandlerRegistration& registration : g_registrations) {
        if (registration.handle == handle) {
            return true;
        }
    }
    return false;
}

ReportingThread RoleOfLocked(std::thread::id thread)
{
    if (g_running && thread == g_serviceThread) {
        return ReportingThread::Service;
    }
    if (g_running && thread == g_dispatcherThread) {
        return ReportingThread::Dispatcher;
    }
    return ReportingThread::Other;
}

// A service that never ends would hold the test run for ever; the process
// ends instead, saying where the service stood.
[[noreturn]] void GiveUpLocked()
{
    std::fprintf(stderr, "simulated SCM: the service did not end within %lld ms; %zu reports:\n",
                 static_cast<long long>(kScmTimeout.count()), g_reports.size());
    for (const StatusReport& report : g_reports) {
        std::fprintf(stderr, "  state %u checkpoint %u hint %u exit %u taken %d\n",
                     report.status.dwCurrentState, report.status.dwCheckPoint, report.status.dwWaitHint,
                     report.status.dwWin32ExitCode, report.taken ? 1 : 0);
    }
    for (const QueuedControl& queued : g_controls) {
        std::fprintf(stderr, "  control %u type %u delivered %d\n", queued.record.control,
                     queued.record.eventType, queued.record.delivered ? 1 : 0);
    }
    std::fflush(stderr);
    std::_Exit(124);
}

}  // namespace

ControlCondition OnceReported(DWORD state)
{
    return [state] {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const StatusReport& report : g_reports) {
            if (report.taken && report.status.dwCurrentState == state) {
                return true;
            }
        }
        return false;
    };
}

ControlCondition OnceReportCount(std::size_t count)
{
    return [count] {
        std::lock_guard<std::mutex> lock(g_mutex);
        return TakenReportsLocked() >= count;
    };
}

ControlGate::ControlGate() : open_(std::make_shared<std::atomic<bool>>(false)) {}

void ControlGate::Open()
{
    {
        // Taken so that a waiter that has just found the gate shut cannot
        // miss the wake-up.
        std::lock_guard<std::mutex> lock(g_mutex);
        open_->store(true);
    }
    NotifyChanged();
}

bool ControlGate::IsOpen() const
{
    return open_->load();
}

ControlCondition ControlGate::Opened() const
{
    std::shared_ptr<std::atomic<bool>> open = open_;
    return [open] { return open->load(); };
}

void EnableScm(std::vector<std::string> startArgs)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_enabled = true;
    g_startArgs = std::move(startArgs);
}

void DisableScm()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_enabled = false;
}

std::size_t QueueControl(DWORD control, DWORD eventType, ControlCondition when, LPVOID eventData)
{
    std::size_t index;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        index = g_controls.size();
        QueuedControl queued{};
        queued.record.control = control;
        queued.record.eventType = eventType;
        queued.record.eventData = eventData;
        queued.when = std::move(when);
        if (g_running && g_ended) {
            queued.record.dropped = true;
        }
        g_controls.push_back(std::move(queued));
    }
    NotifyChanged();
    return index;
}

bool WaitForControl(std::size_t index, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, timeout, [index] {
        return index < g_controls.size() && (g_controls[index].record.delivered || g_controls[index].record.dropped);
    });
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(g_mutex);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        g_changed.wait_for(lock, kRecheck);
    }
}

std::vector<StatusReport> StatusReports()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_reports;
}

std::vector<ControlRecord> Controls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<ControlRecord> records;
    for (const QueuedControl& queued : g_controls) {
        records.push_back(queued.record);
    }
    return records;
}

std::vector<HandlerRegistration> HandlerRegistrations()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_registrations;
}

std::vector<std::string> StartArgs()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_startArgs;
}

std::string DispatchedServiceName()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_serviceName;
}

std::thread::id ServiceThreadId()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_serviceThread;
}

std::thread::id DispatcherThreadId()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_dispatcherThread;
}

bool ServiceEnded()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_ended;
}

}  // namespace standin

using namespace standin;

// Runs the table's first service on a thread of its own and serves controls
// on the calling thread, one at a time, until the service main function has
// returned; controls still queued then are dropped, as the SCM sends nothing
// to a stopped service.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable)
{
    if (EnterCall(Call::StartServiceCtrlDispatcherA)) {
        return FALSE;
    }
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
        lpServiceStartTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    std::vector<std::string> args;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_enabled) {
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        if (g_running) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        g_serviceName = lpServiceStartTable[0].lpServiceName;
        if (g_startArgs.empty()) {
            g_startArgs.push_back(g_serviceName);
        }
        args = g_startArgs;
        g_running = true;
        g_ended = false;
        g_dispatcherThread = std::this_thread::get_id();
        g_serviceThread = std::thread::id();
    }

    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    LPSERVICE_MAIN_FUNCTIONA serviceMain = lpServiceStartTable[0].lpServiceProc;
    DWORD argc = static_cast<DWORD>(args.size());

    std::thread service([serviceMain, argc, &argv] {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_serviceThread = std::this_thread::get_id();
        }
        NotifyChanged();
        serviceMain(argc, argv.data());
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_ended = true;
        }
        NotifyChanged();
    });

    auto deadline = std::chrono::steady_clock::now() + kScmTimeout;
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        if (g_ended) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            GiveUpLocked();
        }
        if (g_nextControl < g_controls.size() && !g_registrations.empty()) {
            std::size_t index = g_nextControl;
            ControlCondition when = g_controls[index].when;
            lock.unlock();
            bool due = !when || when();
            lock.lock();
            if (g_ended) {
                break;
            }
            if (due) {
                ++g_nextControl;
                LPHANDLER_FUNCTION_EX handler = g_registrations.back().handler;
                LPVOID context = g_registrations.back().context;
                ControlRecord record = g_controls[index].record;
                g_controls[index].record.reportsBefore = g_reports.size();
                lock.unlock();
                DWORD result = handler(record.control, record.eventType, record.eventData, context);
                lock.lock();
                g_controls[index].record.result = result;
                g_controls[index].record.delivered = true;
                g_changed.notify_all();
                continue;
            }
        }
        g_changed.wait_for(lock, kRecheck);
    }
    for (std::size_t index = g_nextControl; index < g_controls.size(); ++index) {
        g_controls[index].record.dropped = true;
    }
    g_nextControl = g_controls.size();
    lock.unlock();
    NotifyChanged();

    service.join();
    {
        std::lock_guard<std::mutex> relock(g_mutex);
        g_running = false;
    }
    NotifyChanged();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext)
{
    if (EnterCall(Call::RegisterServiceCtrlHandlerExA)) {
        return nullptr;
    }
    if (lpServiceName == nullptr || lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SERVICE_STATUS_HANDLE handle;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        // The SCM knows only the services of the table it was given.
        if (g_running && g_serviceName != lpServiceName) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(g_nextStatusHandle);
        g_nextStatusHandle += 0x10;
        g_registrations.push_back({lpServiceName, lpHandlerProc, lpContext, handle, std::this_thread::get_id()});
    }
    NotifyChanged();
    return handle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    bool fails = EnterCall(Call::SetServiceStatus);
    if (lpServiceStatus == nullptr) {
        if (!fails) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return FALSE;
    }
    StatusReport report{};
    report.handle = hServiceStatus;
    std::memcpy(&report.status, lpServiceStatus, sizeof report.status);
    report.threadId = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        report.thread = RoleOfLocked(report.threadId);
        bool known = KnownStatusHandleLocked(hServiceStatus);
        if (!fails && !known) {
            SetLastError(ERROR_INVALID_HANDLE);
        }
        report.taken = !fails && known;
        g_reports.push_back(report);
    }
    NotifyChanged();
    return report.taken ? TRUE : FALSE;
}
