// Drives one whole run of the service under the simulated SCM and gathers
// what the SCM, the event log and the call log saw of it.
#pragma once

#include "platform/standin/calls.h"
#include "platform/standin/event_log.h"
#include "platform/standin/service_control.h"
#include "service/service_lifecycle.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace service_test {

using standin::Call;
using standin::ReportingThread;

struct ServiceRun {
    BOOL dispatched = FALSE;
    std::vector<standin::StatusReport> reports;
    std::vector<standin::ControlRecord> controls;
    std::vector<standin::EventLogEntry> entries;
    std::vector<standin::CallRecord> calls;
    std::vector<standin::HandlerRegistration> registrations;
    std::thread::id serviceThread;
    std::thread::id dispatcherThread;
    std::size_t openHandles = 0;
};

// Starts the service as the SCM does, with the entry point's dispatch table,
// this thread acting as the dispatcher thread; controls are queued before.
// Only inside RunInFreshProcess: the service's records are process-wide.
inline ServiceRun RunService()
{
    standin::EnableScm();
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {const_cast<LPSTR>("QuorvaleService"), ServiceEntryProc},
        {NULL, NULL},
    };
    ServiceRun run;
    run.dispatched = StartServiceCtrlDispatcherA(dispatchTable);
    standin::SetCallHook(nullptr);
    run.reports = standin::StatusReports();
    run.controls = standin::Controls();
    run.entries = standin::EventLogEntries();
    run.calls = standin::CallLog();
    run.registrations = standin::HandlerRegistrations();
    run.serviceThread = standin::ServiceThreadId();
    run.dispatcherThread = standin::DispatcherThreadId();
    run.openHandles = standin::OpenHandleCount();
    return run;
}

// The fields of a report that change from one report to the next.
struct Report {
    DWORD state;
    DWORD checkPoint;
    DWORD waitHint;
    DWORD exitCode;
    ReportingThread thread;
    bool taken = true;
    bool operator==(const Report&) const = default;
};

inline const char* ThreadName(ReportingThread thread)
{
    switch (thread) {
    case ReportingThread::Service:
        return "service";
    case ReportingThread::Dispatcher:
        return "dispatcher";
    default:
        return "other";
    }
}

inline std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << "{state " << report.state << ", cp " << report.checkPoint << ", hint " << report.waitHint
               << ", exit " << report.exitCode << ", " << ThreadName(report.thread)
               << (report.taken ? "" : ", failed") << "}";
}

inline std::vector<Report> Summary(const std::vector<standin::StatusReport>& reports)
{
    std::vector<Report> summary;
    for (const standin::StatusReport& report : reports) {
        summary.push_back({report.status.dwCurrentState, report.status.dwCheckPoint, report.status.dwWaitHint,
                           report.status.dwWin32ExitCode, report.thread, report.taken});
    }
    return summary;
}

// The fields that every report of a started service carries alike, and the
// handle that the registration returned.
inline void ExpectFixedFields(const ServiceRun& run)
{
    ASSERT_EQ(run.registrations.size(), 1u);
    for (const standin::StatusReport& report : run.reports) {
        EXPECT_EQ(report.handle, run.registrations[0].handle);
        EXPECT_EQ(report.status.dwServiceType, 0x10u);
        EXPECT_EQ(report.status.dwControlsAccepted, 0x41u);
        EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
    }
}

// Each entry as LogServiceError writes it for a failed status report.
inline void ExpectErrorEntries(const std::vector<standin::EventLogEntry>& entries,
                               const std::vector<std::string>& firstStrings,
                               const std::string& message = "SetServiceStatus")
{
    ASSERT_EQ(entries.size(), firstStrings.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const standin::EventLogEntry& entry = entries[i];
        EXPECT_EQ(entry.sourceName, "QuorvaleService");
        EXPECT_EQ(entry.type, 1u);
        EXPECT_EQ(entry.category, 0u);
        EXPECT_EQ(entry.eventId, 0u);
        EXPECT_EQ(entry.userSid, nullptr);
        EXPECT_EQ(entry.strings, (std::vector<std::string>{firstStrings[i], message}));
        EXPECT_EQ(entry.dataSize, 0u);
        EXPECT_EQ(entry.data, nullptr);
    }
    for (const standin::EventSourceRecord& source : standin::EventSources()) {
        EXPECT_FALSE(source.serverName.has_value());
        EXPECT_EQ(source.sourceName, "QuorvaleService");
    }
}

// Any thread when `thread` is left default.
inline std::size_t CountCalls(const std::vector<standin::CallRecord>& calls, Call call, std::thread::id thread = {})
{
    std::size_t count = 0;
    for (const standin::CallRecord& record : calls) {
        count += record.call == call && (thread == std::thread::id() || record.thread == thread) ? 1 : 0;
    }
    return count;
}

// Position in the call log of the first such call at or after `from`, or the
// log's size when there is none.
inline std::size_t FindCall(const std::vector<standin::CallRecord>& calls, Call call, std::thread::id thread,
                            std::size_t from = 0)
{
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].call == call && calls[i].thread == thread) {
            return i;
        }
    }
    return calls.size();
}

// Every device run of RestoreDisplaySelection opens \\.\TVALD first, so a
// CreateFileA on a thread shows that the thread ran a restore.
inline std::size_t RestoreOpens(const ServiceRun& run, std::thread::id thread)
{
    return CountCalls(run.calls, Call::CreateFileA, thread);
}

}  // namespace service_test
