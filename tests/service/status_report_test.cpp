// The checkpoint rule and the error entry, driven through ReportServiceStatus
// and LogServiceError directly in a fresh service process.
#include "service/status_report.h"

#include "platform/standin/calls.h"
#include "platform/standin/event_log.h"
#include "platform/standin/service_control.h"
#include "service/service_lifecycle.h"
#include "tests/service/service_run.h"
#include "tests/support/fresh_process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using service_test::Call;

struct Step {
    DWORD state;
    bool fails = false;  // the SCM refuses this report
};

struct CheckpointRow {
    const char* name;
    std::vector<Step> steps;
    std::vector<DWORD> checkPoints;  // of each report, in order
};

void PrintTo(const CheckpointRow& row, std::ostream* out)
{
    *out << row.name;
}

class CheckpointRule : public ::testing::TestWithParam<CheckpointRow> {};

TEST_P(CheckpointRule, NumbersPendingReportsWithoutGap)
{
    const CheckpointRow& row = GetParam();
    RunInFreshProcess([&] {
        SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA("QuorvaleService", ServiceControlHandler, NULL);
        ASSERT_NE(handle, nullptr);
        BeginServiceStatus(handle);
        for (const Step& step : row.steps) {
            if (step.fails) {
                standin::FailCall(Call::SetServiceStatus, ERROR_INVALID_HANDLE);
            }
            DWORD hint = step.state == SERVICE_START_PENDING ? 3000 : 0;
            EXPECT_EQ(ReportServiceStatus(step.state, 0, hint), step.fails ? FALSE : TRUE);
        }

        std::vector<standin::StatusReport> reports = standin::StatusReports();
        ASSERT_EQ(reports.size(), row.steps.size());
        std::vector<DWORD> checkPoints;
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const SERVICE_STATUS& status = reports[i].status;
            checkPoints.push_back(status.dwCheckPoint);
            EXPECT_EQ(reports[i].handle, handle);
            EXPECT_EQ(reports[i].taken, !row.steps[i].fails);
            EXPECT_EQ(status.dwServiceType, 0x10u);
            EXPECT_EQ(status.dwCurrentState, row.steps[i].state);
            EXPECT_EQ(status.dwControlsAccepted, 0x41u) << "report " << i;
            EXPECT_EQ(status.dwWin32ExitCode, 0u);
            EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
            EXPECT_EQ(status.dwWaitHint, row.steps[i].state == SERVICE_START_PENDING ? 3000u : 0u);
        }
        EXPECT_EQ(checkPoints, row.checkPoints);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Reports, CheckpointRule,
    ::testing::Values(
        CheckpointRow{"StartUpAndStop", {{2}, {2}, {2}, {4}, {3}, {1}}, {1, 2, 3, 0, 4, 0}},
        CheckpointRow{"RunningAndStoppedLeaveTheCounter", {{4}, {1}, {4}, {2}}, {0, 0, 0, 1}},
        CheckpointRow{"RepeatedPendingTakesNewNumbers", {{3}, {3}, {3}}, {1, 2, 3}},
        CheckpointRow{"StateZeroCountsAsPending", {{0}, {2}, {0}}, {1, 2, 3}},
        CheckpointRow{"UnnamedStatesCountAsPending", {{5}, {7}, {4}, {6}}, {1, 2, 0, 3}},
        CheckpointRow{"FailedPendingReportUsesUpItsNumber", {{2}, {2, true}, {2}}, {1, 2, 3}},
        CheckpointRow{"FailedRunningReportTakesNoNumber", {{2}, {4, true}, {3}}, {1, 0, 2}}),
    [](const ::testing::TestParamInfo<CheckpointRow>& info) { return std::string(info.param.name); });

// The exit code and wait hint go out as given, and a failed report leaves
// its values in the record, so re-reporting the current state repeats it.
TEST(ReportServiceStatus, FailedReportStaysTheCurrentState)
{
    RunInFreshProcess([] {
        BeginServiceStatus(RegisterServiceCtrlHandlerExA("QuorvaleService", ServiceControlHandler, NULL));
        EXPECT_TRUE(ReportServiceStatus(SERVICE_STOPPED, 1066, 0));
        standin::FailCall(Call::SetServiceStatus, ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0));
        EXPECT_TRUE(ReportCurrentServiceStatus());

        std::vector<service_test::Report> expected = {
            {SERVICE_STOPPED, 0, 0, 1066, service_test::ReportingThread::Other, true},
            {SERVICE_STOP_PENDING, 1, 0, 0, service_test::ReportingThread::Other, false},
            {SERVICE_STOP_PENDING, 2, 0, 0, service_test::ReportingThread::Other, true},
        };
        EXPECT_EQ(service_test::Summary(standin::StatusReports()), expected);
        service_test::ExpectErrorEntries(standin::EventLogEntries(), {"QuorvaleService error: 6"});
        EXPECT_EQ(LastLoggedError(), 6u);
    });
}

struct ErrorTextRow {
    const char* name;
    DWORD code;
    const char* firstString;
};

void PrintTo(const ErrorTextRow& row, std::ostream* out)
{
    *out << row.name;
}

class ErrorEntry : public ::testing::TestWithParam<ErrorTextRow> {};

TEST_P(ErrorEntry, NamesTheCodeAsSignedNumber)
{
    const ErrorTextRow& row = GetParam();
    RunInFreshProcess([&] {
        SetLastError(row.code);
        LogServiceError("StartServiceCtrlDispatcher failed.");
        service_test::ExpectErrorEntries(standin::EventLogEntries(), {row.firstString},
                                         "StartServiceCtrlDispatcher failed.");
        EXPECT_EQ(standin::EventSources().size(), 1u);
        EXPECT_EQ(LastLoggedError(), row.code);
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorEntry,
    ::testing::Values(ErrorTextRow{"AccessDenied", 5, "QuorvaleService error: 5"},
                      ErrorTextRow{"Zero", 0, "QuorvaleService error: 0"},
                      ErrorTextRow{"LargestPositive", 0x7FFFFFFF, "QuorvaleService error: 2147483647"},
                      ErrorTextRow{"HighBitSet", 0x80000005, "QuorvaleService error: -2147483643"},
                      ErrorTextRow{"MostNegative", 0x80000000, "QuorvaleService error: -2147483648"},
                      ErrorTextRow{"AllBits", 0xFFFFFFFF, "QuorvaleService error: -1"}),
    [](const ::testing::TestParamInfo<ErrorTextRow>& info) { return std::string(info.param.name); });

// The code is captured before the event-log calls, so their own failures
// cannot replace it.
TEST(LogServiceError, SourceThatDoesNotOpenWritesNothingButKeepsTheCode)
{
    RunInFreshProcess([] {
        standin::FailCall(Call::RegisterEventSourceA, ERROR_ACCESS_DENIED);
        SetLastError(1063);
        LogServiceError("StartServiceCtrlDispatcher failed.");
        EXPECT_TRUE(standin::EventLogEntries().empty());
        EXPECT_EQ(service_test::CountCalls(standin::CallLog(), Call::ReportEventA), 0u);
        EXPECT_EQ(service_test::CountCalls(standin::CallLog(), Call::DeregisterEventSource), 0u);
        EXPECT_EQ(LastLoggedError(), 1063u);
    });
}

TEST(LogServiceError, FailedEntryStillClosesTheSource)
{
    RunInFreshProcess([] {
        standin::FailCall(Call::ReportEventA, ERROR_INVALID_PARAMETER);
        SetLastError(1063);
        LogServiceError("StartServiceCtrlDispatcher failed.");
        EXPECT_EQ(service_test::CountCalls(standin::CallLog(), Call::DeregisterEventSource), 1u);
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
        EXPECT_EQ(LastLoggedError(), 1063u);
    });
}

}  // namespace
