// Whole runs of the service under the simulated SCM: the normal start and
// stop, each failure of the lifecycle, the control handler and the stops that
// come too early or too late for the stop event.
#include "service/service_lifecycle.h"

#include "platform/standin/calls.h"
#include "platform/standin/service_control.h"
#include "tests/service/service_run.h"
#include "tests/support/fresh_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using service_test::Call;
using service_test::Report;
using service_test::ServiceRun;
using Thread = service_test::ReportingThread;

constexpr Thread kService = Thread::Service;
constexpr Thread kDispatcher = Thread::Dispatcher;

void QueueStopOnceRunning()
{
    standin::QueueControl(SERVICE_CONTROL_STOP, 0, standin::OnceReported(SERVICE_RUNNING));
}

TEST(ServiceRun, NormalStartAndStopMakesTheSixReports)
{
    RunInFreshProcess([] {
        QueueStopOnceRunning();
        ServiceRun run = service_test::RunService();

        EXPECT_TRUE(run.dispatched);
        std::vector<Report> expected = {
            {SERVICE_START_PENDING, 1, 3000, 0, kService},
            {SERVICE_START_PENDING, 2, 3000, 0, kService},
            {SERVICE_START_PENDING, 3, 3000, 0, kService},
            {SERVICE_RUNNING, 0, 0, 0, kService},
            {SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher},
            {SERVICE_STOPPED, 0, 0, 0, kService},
        };
        EXPECT_EQ(service_test::Summary(run.reports), expected);
        service_test::ExpectFixedFields(run);

        ASSERT_EQ(run.registrations.size(), 1u);
        EXPECT_EQ(run.registrations[0].serviceName, "QuorvaleService");
        EXPECT_EQ(run.registrations[0].handler, &ServiceControlHandler);
        EXPECT_EQ(run.registrations[0].context, nullptr);
        EXPECT_EQ(run.registrations[0].threadId, run.serviceThread);

        ASSERT_EQ(run.controls.size(), 1u);
        EXPECT_TRUE(run.controls[0].delivered);
        EXPECT_EQ(run.controls[0].result, NO_ERROR);

        // The start-up restore runs between the third start-pending report
        // and the running report, on the service thread only.
        std::size_t third = service_test::FindCall(run.calls, Call::SetServiceStatus, run.serviceThread);
        third = service_test::FindCall(run.calls, Call::SetServiceStatus, run.serviceThread, third + 1);
        third = service_test::FindCall(run.calls, Call::SetServiceStatus, run.serviceThread, third + 1);
        std::size_t running = service_test::FindCall(run.calls, Call::SetServiceStatus, run.serviceThread, third + 1);
        std::size_t open = service_test::FindCall(run.calls, Call::CreateFileA, run.serviceThread);
        EXPECT_LT(third, open);
        EXPECT_LT(open, running);
        EXPECT_EQ(service_test::RestoreOpens(run, run.dispatcherThread), 0u);

        EXPECT_EQ(service_test::CountCalls(run.calls, Call::SetEvent, run.dispatcherThread), 1u);
        EXPECT_TRUE(run.entries.empty());
        EXPECT_EQ(run.openHandles, 0u);
    });
}

// One failure per row, met once where it occurs. Every run has a stop queued
// for once the service is running; runs that never get there drop it.
struct FailureRow {
    const char* name;
    Call call;
    int skip;  // calls of that kind that succeed first
    DWORD error;
    std::vector<Report> reports;
    std::vector<std::string> entries;  // first strings of the event-log entries
    bool restores;
};

void PrintTo(const FailureRow& row, std::ostream* out)
{
    *out << row.name;
}

class LifecycleFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(LifecycleFailure, IsMetOnceAndEndsInTheStoppedReport)
{
    const FailureRow& row = GetParam();
    RunInFreshProcess([&] {
        standin::FailCall(row.call, row.error, 1, row.skip);
        QueueStopOnceRunning();
        ServiceRun run = service_test::RunService();

        EXPECT_TRUE(run.dispatched);
        EXPECT_EQ(service_test::Summary(run.reports), row.reports);
        if (!row.reports.empty()) {
            service_test::ExpectFixedFields(run);
        }
        service_test::ExpectErrorEntries(run.entries, row.entries);
        EXPECT_EQ(service_test::RestoreOpens(run, run.serviceThread) > 0, row.restores);
        EXPECT_EQ(run.openHandles, 0u);
    });
}

const std::vector<Report> kStartUp = {
    {SERVICE_START_PENDING, 1, 3000, 0, kService},
    {SERVICE_START_PENDING, 2, 3000, 0, kService},
    {SERVICE_START_PENDING, 3, 3000, 0, kService},
    {SERVICE_RUNNING, 0, 0, 0, kService},
};

INSTANTIATE_TEST_SUITE_P(
    Failures, LifecycleFailure,
    ::testing::Values(
        FailureRow{"HandlerRegistration", Call::RegisterServiceCtrlHandlerExA, 0, 1063, {}, {}, false},
        FailureRow{"FirstStartPendingReport",
                   Call::SetServiceStatus,
                   0,
                   6,
                   {{SERVICE_START_PENDING, 1, 3000, 0, kService, false}, {SERVICE_STOPPED, 0, 0, 6, kService}},
                   {"QuorvaleService error: 6"},
                   false},
        FailureRow{"SecondStartPendingReport",
                   Call::SetServiceStatus,
                   1,
                   6,
                   {{SERVICE_START_PENDING, 1, 3000, 0, kService},
                    {SERVICE_START_PENDING, 2, 3000, 0, kService, false},
                    {SERVICE_STOPPED, 0, 0, 6, kService}},
                   {"QuorvaleService error: 6"},
                   false},
        FailureRow{"StopEventCreation",
                   Call::CreateEventA,
                   0,
                   ERROR_NOT_ENOUGH_MEMORY,
                   {{SERVICE_START_PENDING, 1, 3000, 0, kService},
                    {SERVICE_START_PENDING, 2, 3000, 0, kService},
                    {SERVICE_STOPPED, 0, 0, 0, kService}},
                   {},
                   false},
        FailureRow{"ThirdStartPendingReport",
                   Call::SetServiceStatus,
                   2,
                   6,
                   {{SERVICE_START_PENDING, 1, 3000, 0, kService},
                    {SERVICE_START_PENDING, 2, 3000, 0, kService},
                    {SERVICE_START_PENDING, 3, 3000, 0, kService, false},
                    {SERVICE_STOPPED, 0, 0, 6, kService}},
                   {"QuorvaleService error: 6"},
                   false},
        FailureRow{"RunningReport",
                   Call::SetServiceStatus,
                   3,
                   6,
                   {{SERVICE_START_PENDING, 1, 3000, 0, kService},
                    {SERVICE_START_PENDING, 2, 3000, 0, kService},
                    {SERVICE_START_PENDING, 3, 3000, 0, kService},
                    {SERVICE_RUNNING, 0, 0, 0, kService, false},
                    {SERVICE_STOPPED, 0, 0, 6, kService}},
                   {"QuorvaleService error: 6"},
                   true},
        FailureRow{"HandlerReport",
                   Call::SetServiceStatus,
                   4,
                   6,
                   {kStartUp[0], kStartUp[1], kStartUp[2], kStartUp[3],
                    {SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher, false},
                    {SERVICE_STOPPED, 0, 0, 6, kService}},
                   {"QuorvaleService error: 6"},
                   true},
        FailureRow{"StoppedReport",
                   Call::SetServiceStatus,
                   5,
                   6,
                   {kStartUp[0], kStartUp[1], kStartUp[2], kStartUp[3],
                    {SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher},
                    {SERVICE_STOPPED, 0, 0, 0, kService, false}},
                   {"QuorvaleService error: 6"},
                   true}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

// A control delivered once the service runs, or while its stop is pending,
// then the run's stop. `report` is what the control itself reports.
struct ControlRow {
    const char* name;
    DWORD control;
    DWORD eventType;
    bool whileStopPending;
    Report report;
    DWORD result;
    bool restores;
};

void PrintTo(const ControlRow& row, std::ostream* out)
{
    *out << row.name;
}

class HandlerControl : public ::testing::TestWithParam<ControlRow> {};

TEST_P(HandlerControl, ReportsFirstThenActs)
{
    const ControlRow& row = GetParam();
    RunInFreshProcess([&] {
        std::size_t index;
        std::atomic<bool> held{false};
        if (row.whileStopPending) {
            QueueStopOnceRunning();
            index = standin::QueueControl(row.control, row.eventType);
            // Woken by the stop, the service thread closes the stop event;
            // held there, it leaves the service stop-pending for the control.
            standin::SetCallHook([&held, index](Call call) {
                if (call == Call::CloseHandle && std::this_thread::get_id() == standin::ServiceThreadId() &&
                    !held.exchange(true)) {
                    EXPECT_TRUE(standin::WaitForControl(index));
                }
            });
        } else {
            index = standin::QueueControl(row.control, row.eventType, standin::OnceReported(SERVICE_RUNNING));
            standin::QueueControl(SERVICE_CONTROL_STOP);
        }
        ServiceRun run = service_test::RunService();

        std::vector<Report> expected(kStartUp);
        if (row.whileStopPending) {
            expected.push_back({SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher});
            expected.push_back(row.report);
        } else {
            expected.push_back(row.report);
            expected.push_back({SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher});
        }
        expected.push_back({SERVICE_STOPPED, 0, 0, 0, kService});
        EXPECT_EQ(service_test::Summary(run.reports), expected);
        service_test::ExpectFixedFields(run);

        ASSERT_TRUE(run.controls[index].delivered);
        EXPECT_EQ(run.controls[index].result, row.result);
        EXPECT_EQ(service_test::RestoreOpens(run, run.dispatcherThread) > 0, row.restores);
        if (row.restores) {
            std::size_t report = service_test::FindCall(run.calls, Call::SetServiceStatus, run.dispatcherThread);
            EXPECT_LT(report, service_test::FindCall(run.calls, Call::CreateFileA, run.dispatcherThread));
        }
        EXPECT_TRUE(run.entries.empty());
        EXPECT_EQ(run.openHandles, 0u);
    });
}

constexpr Report kRunningAgain = {SERVICE_RUNNING, 0, 0, 0, kDispatcher};
constexpr Report kStopPendingAgain = {SERVICE_STOP_PENDING, 5, 0, 0, kDispatcher};
constexpr DWORD kPowerStatusChange = 10;
constexpr DWORD kSuspend = 4;

INSTANTIATE_TEST_SUITE_P(
    Controls, HandlerControl,
    ::testing::Values(
        ControlRow{"InterrogateWhileRunning", SERVICE_CONTROL_INTERROGATE, 0, false, kRunningAgain, NO_ERROR, false},
        ControlRow{"InterrogateWhileStopPending", SERVICE_CONTROL_INTERROGATE, 0, true, kStopPendingAgain, NO_ERROR,
                   false},
        ControlRow{"ResumeFromSuspend", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, false, kRunningAgain,
                   NO_ERROR, true},
        ControlRow{"PowerStatusChange", SERVICE_CONTROL_POWEREVENT, kPowerStatusChange, false, kRunningAgain, NO_ERROR,
                   false},
        ControlRow{"Suspend", SERVICE_CONTROL_POWEREVENT, kSuspend, false, kRunningAgain, NO_ERROR, false},
        ControlRow{"ResumeWhileStopPending", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, true, kRunningAgain,
                   NO_ERROR, true},
        ControlRow{"PauseIsUnknown", 2, 0, false, kRunningAgain, ERROR_CALL_NOT_IMPLEMENTED, false},
        ControlRow{"UserControlIsUnknown", 128, 0, false, kRunningAgain, ERROR_CALL_NOT_IMPLEMENTED, false},
        ControlRow{"UnknownWhileStopPending", 2, 0, true, kStopPendingAgain, ERROR_CALL_NOT_IMPLEMENTED, false}),
    [](const ::testing::TestParamInfo<ControlRow>& info) { return std::string(info.param.name); });

// Failed handler reports change nothing that follows them; the code of the
// last failure in the process is the stopped report's exit code.
struct ErrorRow {
    const char* name;
    DWORD resumeReportError;  // 0: the resume report is taken
    DWORD stopReportError;    // 0: the stop-pending report is taken
    bool eventSourceFails;
    std::vector<std::string> entries;
    DWORD exitCode;
};

void PrintTo(const ErrorRow& row, std::ostream* out)
{
    *out << row.name;
}

class HandlerReportFailure : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(HandlerReportFailure, StillRestoresAndStops)
{
    const ErrorRow& row = GetParam();
    RunInFreshProcess([&] {
        // Four start-up reports come first, then the resume's. A plan counts
        // only the calls that no earlier plan failed, so with both planned
        // both skip the same four.
        if (row.resumeReportError != 0) {
            standin::FailCall(Call::SetServiceStatus, row.resumeReportError, 1, 4);
        }
        if (row.stopReportError != 0) {
            standin::FailCall(Call::SetServiceStatus, row.stopReportError, 1, row.resumeReportError != 0 ? 4 : 5);
        }
        if (row.eventSourceFails) {
            standin::FailCall(Call::RegisterEventSourceA, ERROR_ACCESS_DENIED, standin::kAlways);
        }
        std::size_t resume = standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND,
                                                   standin::OnceReported(SERVICE_RUNNING));
        std::size_t stop = standin::QueueControl(SERVICE_CONTROL_STOP);
        ServiceRun run = service_test::RunService();

        std::vector<Report> expected(kStartUp);
        expected.push_back({SERVICE_RUNNING, 0, 0, 0, kDispatcher, row.resumeReportError == 0});
        expected.push_back({SERVICE_STOP_PENDING, 4, 0, 0, kDispatcher, row.stopReportError == 0});
        expected.push_back({SERVICE_STOPPED, 0, 0, row.exitCode, kService});
        EXPECT_EQ(service_test::Summary(run.reports), expected);

        EXPECT_EQ(run.controls[resume].result, NO_ERROR);
        EXPECT_EQ(run.controls[stop].result, NO_ERROR);
        EXPECT_GT(service_test::RestoreOpens(run, run.dispatcherThread), 0u);
        EXPECT_EQ(service_test::CountCalls(run.calls, Call::SetEvent, run.dispatcherThread), 1u);
        service_test::ExpectErrorEntries(run.entries, row.entries);
        EXPECT_EQ(run.openHandles, 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Errors, HandlerReportFailure,
    ::testing::Values(ErrorRow{"StopReport", 0, 6, false, {"QuorvaleService error: 6"}, 6},
                      ErrorRow{"ResumeReport", 6, 0, false, {"QuorvaleService error: 6"}, 6},
                      ErrorRow{"CodeWithHighBit", 0, 0x80000005, false, {"QuorvaleService error: -2147483643"},
                               0x80000005},
                      ErrorRow{"LaterOfTwo", 5, 0x80000005, false,
                               {"QuorvaleService error: 5", "QuorvaleService error: -2147483643"}, 0x80000005},
                      ErrorRow{"EventSourceDoesNotOpen", 0, 1066, true, {}, 1066}),
    [](const ::testing::TestParamInfo<ErrorRow>& info) { return std::string(info.param.name); });

// The SCM has been told stop-pending and sends no second stop, so a stop
// that comes while the service thread is creating the stop event must still
// end the service once start-up is through.
TEST(EarlyStop, WhileTheStopEventIsCreatedEndsTheServiceAfterStartUp)
{
    RunInFreshProcess([] {
        std::atomic<bool> sent{false};
        standin::SetCallHook([&sent](Call call) {
            if (call == Call::CreateEventA && !sent.exchange(true)) {
                standin::QueueControl(SERVICE_CONTROL_STOP);
                EXPECT_TRUE(standin::WaitUntil([] {
                    for (const standin::StatusReport& report : standin::StatusReports()) {
                        if (report.status.dwCurrentState == SERVICE_STOP_PENDING) {
                            return true;
                        }
                    }
                    return false;
                }));
            }
        });
        ServiceRun run = service_test::RunService();

        std::vector<Report> expected = {
            {SERVICE_START_PENDING, 1, 3000, 0, kService},
            {SERVICE_START_PENDING, 2, 3000, 0, kService},
            {SERVICE_STOP_PENDING, 3, 0, 0, kDispatcher},
            {SERVICE_START_PENDING, 4, 3000, 0, kService},
            {SERVICE_RUNNING, 0, 0, 0, kService},
            {SERVICE_STOPPED, 0, 0, 0, kService},
        };
        EXPECT_EQ(service_test::Summary(run.reports), expected);
        ASSERT_EQ(run.controls.size(), 1u);
        EXPECT_TRUE(run.controls[0].delivered);
        EXPECT_GT(service_test::RestoreOpens(run, run.serviceThread), 0u);
        EXPECT_EQ(run.openHandles, 0u);
    });
}

// A stop signalled before the work loop has created the stop event is kept:
// the event is created already set, start-up runs on to the running report
// and the service then stops without a second stop.
TEST(EarlyStop, SignalledBeforeTheStopEventExistsIsKept)
{
    RunInFreshProcess([] {
        SignalServiceStop();
        ServiceRun run = service_test::RunService();

        std::vector<Report> expected = {
            {SERVICE_START_PENDING, 1, 3000, 0, kService},
            {SERVICE_START_PENDING, 2, 3000, 0, kService},
            {SERVICE_START_PENDING, 3, 3000, 0, kService},
            {SERVICE_RUNNING, 0, 0, 0, kService},
            {SERVICE_STOPPED, 0, 0, 0, kService},
        };
        EXPECT_EQ(service_test::Summary(run.reports), expected);
        EXPECT_EQ(service_test::CountCalls(run.calls, Call::SetEvent), 0u);
        EXPECT_EQ(service_test::CountCalls(run.calls, Call::WaitForSingleObject), 1u);
        EXPECT_GT(service_test::RestoreOpens(run, run.serviceThread), 0u);
        EXPECT_EQ(run.openHandles, 0u);
    });
}

// A stop that comes after the work loop has closed the stop event finds
// nothing to set.
TEST(LateStop, AfterTheStopEventIsClosedDoesNothing)
{
    RunInFreshProcess([] {
        QueueStopOnceRunning();
        ServiceRun run = service_test::RunService();
        ASSERT_EQ(run.reports.back().status.dwCurrentState, SERVICE_STOPPED);

        standin::ClearCallLog();
        EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL), NO_ERROR);
        SignalServiceStop();
        EXPECT_EQ(service_test::CountCalls(standin::CallLog(), Call::SetEvent), 0u);
        EXPECT_EQ(standin::StatusReports().back().status.dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
    });
}

}  // namespace
