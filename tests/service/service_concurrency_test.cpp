// The service thread and the dispatcher thread meeting: a resume during the
// start-up restore, and stops at every stage of start-up, run many times with
// the windows between calls widened. Meant for the TSan build above all.
#include "service/service_lifecycle.h"

#include "platform/standin/calls.h"
#include "platform/standin/service_control.h"
#include "tests/service/service_run.h"
#include "tests/support/fresh_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using service_test::Call;
using service_test::Report;
using service_test::ServiceRun;
using Thread = service_test::ReportingThread;

bool ReportedBy(DWORD state, Thread thread)
{
    for (const standin::StatusReport& report : standin::StatusReports()) {
        if (report.taken && report.status.dwCurrentState == state && report.thread == thread) {
            return true;
        }
    }
    return false;
}

bool IsDeviceCall(Call call)
{
    return call == Call::CreateFileA || call == Call::DeviceIoControl || call == Call::GetProcessHeap ||
           call == Call::HeapAlloc || call == Call::HeapFree;
}

TEST(ServiceThreads, ResumeDuringStartUpRestoreWaitsForIt)
{
    RunInFreshProcess([] {
        standin::ControlGate startUpRestore;
        standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, startUpRestore.Opened());
        standin::QueueControl(SERVICE_CONTROL_STOP, 0, [] { return ReportedBy(SERVICE_RUNNING, Thread::Service); });
        // The resume is let through as the start-up restore opens its first
        // device, and that restore goes on only once the resume has reported.
        standin::SetCallHook([&startUpRestore](Call call) {
            if (call == Call::CreateFileA && std::this_thread::get_id() == standin::ServiceThreadId() &&
                !startUpRestore.IsOpen()) {
                startUpRestore.Open();
                EXPECT_TRUE(standin::WaitUntil([] { return ReportedBy(SERVICE_RUNNING, Thread::Dispatcher); }));
            }
        });
        ServiceRun run = service_test::RunService();

        std::vector<Report> expected = {
            {SERVICE_START_PENDING, 1, 3000, 0, Thread::Service},
            {SERVICE_START_PENDING, 2, 3000, 0, Thread::Service},
            {SERVICE_START_PENDING, 3, 3000, 0, Thread::Service},
            {SERVICE_RUNNING, 0, 0, 0, Thread::Dispatcher},
            {SERVICE_RUNNING, 0, 0, 0, Thread::Service},
            {SERVICE_STOP_PENDING, 4, 0, 0, Thread::Dispatcher},
            {SERVICE_STOPPED, 0, 0, 0, Thread::Service},
        };
        EXPECT_EQ(service_test::Summary(run.reports), expected);

        // The two restores run one after the other, the start-up one first.
        std::size_t lastStartUpDeviceCall = 0;
        std::size_t firstResumeDeviceCall = run.calls.size();
        for (std::size_t i = 0; i < run.calls.size(); ++i) {
            if (!IsDeviceCall(run.calls[i].call)) {
                continue;
            }
            if (run.calls[i].thread == run.serviceThread) {
                lastStartUpDeviceCall = i;
            } else if (run.calls[i].thread == run.dispatcherThread && firstResumeDeviceCall == run.calls.size()) {
                firstResumeDeviceCall = i;
            }
        }
        EXPECT_GT(service_test::RestoreOpens(run, run.serviceThread), 0u);
        EXPECT_GT(service_test::RestoreOpens(run, run.dispatcherThread), 0u);
        EXPECT_LT(lastStartUpDeviceCall, firstResumeDeviceCall);
        EXPECT_EQ(run.openHandles, 0u);
    });
}

// Every report that reached the SCM carries the fields of one call, and the
// pending ones carry the numbers 1, 2, 3 and on in the order they arrived.
void ExpectSelfConsistentReports(const ServiceRun& run)
{
    DWORD nextCheckPoint = 1;
    for (std::size_t i = 0; i < run.reports.size(); ++i) {
        const SERVICE_STATUS& status = run.reports[i].status;
        EXPECT_TRUE(run.reports[i].taken) << "report " << i;
        EXPECT_EQ(status.dwServiceType, 0x10u) << "report " << i;
        EXPECT_EQ(status.dwControlsAccepted, 0x41u) << "report " << i;
        EXPECT_EQ(status.dwWin32ExitCode, 0u) << "report " << i;
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0u) << "report " << i;
        EXPECT_EQ(status.dwWaitHint, status.dwCurrentState == SERVICE_START_PENDING ? 3000u : 0u) << "report " << i;
        if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED) {
            EXPECT_EQ(status.dwCheckPoint, 0u) << "report " << i;
        } else {
            EXPECT_EQ(status.dwCheckPoint, nextCheckPoint++) << "report " << i;
        }
    }
}

struct StageRow {
    const char* name;
    standin::ControlCondition (*when)();
    bool resumeFirst;  // a resume comes just before the stop
};

void PrintTo(const StageRow& row, std::ostream* out)
{
    *out << row.name;
}

class StopDuringStartUp : public ::testing::TestWithParam<StageRow> {};

constexpr int kRuns = 40;

TEST_P(StopDuringStartUp, IsNeverLost)
{
    const StageRow& row = GetParam();
    for (int runIndex = 0; runIndex < kRuns && !HasFailure(); ++runIndex) {
        RunInFreshProcess([&] {
            // Each call may be held up a little, differently from run to run,
            // so that the two threads meet at many different points.
            std::atomic<unsigned> calls{0};
            standin::SetCallHook([&calls, runIndex](Call call) {
                if (call != Call::SetServiceStatus && call != Call::CreateEventA && call != Call::SetEvent &&
                    call != Call::WaitForSingleObject && call != Call::CreateFileA && call != Call::CloseHandle) {
                    return;
                }
                unsigned mix = (calls.fetch_add(1) + 1u) * 2654435761u ^ static_cast<unsigned>(runIndex) * 40503u;
                switch ((mix >> 16) % 4) {
                case 1:
                    std::this_thread::yield();
                    break;
                case 2:
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                    break;
                case 3:
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                    break;
                default:
                    break;
                }
            });
            if (row.resumeFirst) {
                standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, row.when());
            }
            standin::QueueControl(SERVICE_CONTROL_STOP, 0, row.when());
            ServiceRun run = service_test::RunService();

            ASSERT_TRUE(run.dispatched);
            ASSERT_FALSE(run.reports.empty());
            const standin::StatusReport& last = run.reports.back();
            EXPECT_EQ(last.status.dwCurrentState, SERVICE_STOPPED) << "run " << runIndex;
            EXPECT_EQ(last.thread, Thread::Service);
            std::size_t stopPending = 0;
            for (std::size_t i = 0; i < run.reports.size(); ++i) {
                if (run.reports[i].status.dwCurrentState == SERVICE_STOP_PENDING) {
                    ++stopPending;
                    EXPECT_EQ(run.reports[i].thread, Thread::Dispatcher);
                }
                if (run.reports[i].status.dwCurrentState == SERVICE_STOPPED) {
                    EXPECT_EQ(i, run.reports.size() - 1) << "run " << runIndex;
                }
            }
            EXPECT_EQ(stopPending, 1u) << "run " << runIndex;
            ExpectSelfConsistentReports(run);
            for (const standin::ControlRecord& control : run.controls) {
                EXPECT_TRUE(control.delivered) << "run " << runIndex;
            }
            EXPECT_GT(service_test::RestoreOpens(run, run.serviceThread), 0u);
            EXPECT_TRUE(run.entries.empty());
            EXPECT_EQ(run.openHandles, 0u) << "run " << runIndex;
        });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, StopDuringStartUp,
    ::testing::Values(StageRow{"BeforeTheStopEventExists", [] { return standin::OnceReportCount(1); }, false},
                      StageRow{"AfterTheStopEventExists", [] { return standin::OnceReportCount(3); }, false},
                      StageRow{"AfterRunning", [] { return standin::OnceReported(SERVICE_RUNNING); }, false},
                      StageRow{"ResumeAndStopEarlyInStartUp", [] { return standin::OnceReportCount(1); }, true},
                      StageRow{"ResumeAndStopLateInStartUp", [] { return standin::OnceReportCount(3); }, true}),
    [](const ::testing::TestParamInfo<StageRow>& info) { return std::string(info.param.name); });

}  // namespace
