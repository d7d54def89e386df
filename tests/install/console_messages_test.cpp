// Every message of the install and remove commands, one row per situation:
// the exact bytes printed, the SCM calls and pauses in the order made, and
// that no SCM handle or system text block is left behind.
#include "install/service_install.h"
#include "platform/standin/calls.h"
#include "platform/standin/service_database.h"
#include "platform/standin/system_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/fresh_process.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using standin::Call;
using standin::StatusAnswer;

constexpr char kService[] = "QuorvaleService";

// The SCM calls, GetModuleFileNameA and every Sleep with its milliseconds, as
// one sequence in the order the command made them.
std::vector<std::string> Timeline()
{
    std::vector<standin::ScmCallRecord> scm = standin::ScmCalls();
    std::vector<DWORD> sleeps = standin::Sleeps();
    std::size_t nextScm = 0;
    std::size_t nextSleep = 0;
    std::vector<std::string> timeline;
    for (const standin::CallRecord& record : standin::CallLog()) {
        switch (record.call) {
        case Call::GetModuleFileNameA:
            timeline.push_back("GetModuleFileNameA");
            break;
        case Call::Sleep:
            timeline.push_back("Sleep " + (nextSleep < sleeps.size() ? std::to_string(sleeps[nextSleep]) : "?"));
            ++nextSleep;
            break;
        case Call::OpenSCManagerA:
        case Call::CreateServiceA:
        case Call::OpenServiceA:
        case Call::ControlService:
        case Call::QueryServiceStatus:
        case Call::DeleteService:
        case Call::CloseServiceHandle:
            timeline.push_back(nextScm < scm.size() ? standin::Describe(scm[nextScm]) : "?");
            ++nextScm;
            break;
        default:
            break;
        }
    }
    return timeline;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> joined;
    for (const auto& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

std::vector<std::string> Repeat(const std::vector<std::string>& part, int times)
{
    std::vector<std::string> repeated;
    for (int i = 0; i < times; ++i) {
        repeated.insert(repeated.end(), part.begin(), part.end());
    }
    return repeated;
}

// A remove that opens the service and sends the stop; each poll is a second's
// pause and then a status query.
const std::vector<std::string> kOpenAndStop = {"OpenSCManagerA", "OpenServiceA QuorvaleService", "ControlService 1"};
const std::vector<std::string> kPoll = {"Sleep 1000", "QueryServiceStatus"};
const std::vector<std::string> kDeleteAndClose = {"DeleteService", "CloseServiceHandle Service",
                                                  "CloseServiceHandle Manager"};

enum class Command { Install, Remove };

struct MessageCase {
    const char* name;
    Command command;
    std::function<void()> arrange;
    std::string printed;
    std::vector<std::string> timeline;
    bool registeredAfter;
};

class ConsoleMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ConsoleMessages, PrintsTheMessagesAndClosesEverything)
{
    const MessageCase& row = GetParam();
    RunInFreshProcess([&] {
        row.arrange();
        std::string printed = CaptureStdout([&] {
            if (row.command == Command::Install) {
                InstallService();
            } else {
                RemoveService();
            }
        });

        EXPECT_EQ(printed, row.printed);
        EXPECT_EQ(Timeline(), row.timeline);
        EXPECT_EQ(standin::IsServiceRegistered(kService), row.registeredAfter);
        EXPECT_EQ(standin::OpenHandleCount(), 0u) << "an SCM handle was left open";
        EXPECT_EQ(standin::LiveTextBlockCount(), 0u) << "a system text was not released";
        EXPECT_EQ(standin::StrayLocalFreeCount(), 0u);
        for (const standin::ManagerOpenCall& open : standin::ManagerOpenCalls()) {
            EXPECT_FALSE(open.machineName.has_value());
            EXPECT_FALSE(open.databaseName.has_value());
            EXPECT_EQ(open.desiredAccess, SC_MANAGER_ALL_ACCESS);
        }
        for (const standin::OpenServiceCall& open : standin::OpenServiceCalls()) {
            EXPECT_EQ(open.serviceName, std::optional<std::string>(kService));
            EXPECT_EQ(open.desiredAccess, SERVICE_ALL_ACCESS);
        }
    });
}

void Nothing() {}

void RunningService(std::vector<StatusAnswer> polls)
{
    standin::AddService(kService, SERVICE_RUNNING);
    standin::ScriptStatusQueries(kService, std::move(polls));
}

const StatusAnswer kPending = StatusAnswer::Reports(SERVICE_STOP_PENDING);
const StatusAnswer kStopped = StatusAnswer::Reports(SERVICE_STOPPED);
const StatusAnswer kQueryFails = StatusAnswer::FailsWith(ERROR_INVALID_HANDLE);

const std::string kAccessDenied = "OpenSCManager failed - Access is denied. (0x5)\n";
const std::string kStopping = "Stopping Quorvale Service.";
const std::string kStoppedLine = "\nQuorvale Service stopped.\n";
const std::string kFailedToStopLine = "\nQuorvale Service failed to stop.\n";
const std::string kRemoved = "Quorvale Service removed.\n";

const MessageCase kMessageCases[] = {
    {"InstallRefusedBySCM", Command::Install, [] { standin::RefuseServiceManager(); }, kAccessDenied,
     {"GetModuleFileNameA", "OpenSCManagerA failed 5"}, false},
    {"InstallCreatesTheService", Command::Install, Nothing, "Quorvale Service installed.\n",
     {"GetModuleFileNameA", "OpenSCManagerA", "CreateServiceA QuorvaleService", "CloseServiceHandle Service",
      "CloseServiceHandle Manager"},
     true},
    {"InstallWhenServiceExists", Command::Install, [] { standin::AddService(kService, SERVICE_STOPPED); },
     "CreateService failed - The specified service already exists. (0x431)\n",
     {"GetModuleFileNameA", "OpenSCManagerA", "CreateServiceA QuorvaleService failed 1073",
      "CloseServiceHandle Manager"},
     true},
    {"InstallWithoutModulePath", Command::Install,
     [] { standin::FailCall(Call::GetModuleFileNameA, ERROR_NOT_ENOUGH_MEMORY); },
     "Unable to install Quorvale Service - Not enough memory resources are available to process this "
     "command. (0x8)\n",
     {"GetModuleFileNameA"}, false},
    // A path cut short would register some other program; nothing is
    // registered and the user is told why.
    {"InstallWithModulePathCutShort", Command::Install,
     [] { standin::SetModulePath("C:\\" + std::string(600, 'q') + ".exe"); },
     "Unable to install Quorvale Service - The data area passed to a system call is too small. (0x7a)\n",
     {"GetModuleFileNameA"}, false},
    {"RemoveRefusedBySCM", Command::Remove,
     [] {
         standin::AddService(kService, SERVICE_RUNNING);
         standin::RefuseServiceManager();
     },
     kAccessDenied, {"OpenSCManagerA failed 5"}, true},
    {"RemoveMissingService", Command::Remove, Nothing,
     "OpenService failed - The specified service does not exist as an installed service. (0x424)\n",
     {"OpenSCManagerA", "OpenServiceA QuorvaleService failed 1060", "CloseServiceHandle Manager"}, false},
    // The refused stop is not reported: only the deletion is.
    {"RemoveStoppedService", Command::Remove, [] { standin::AddService(kService, SERVICE_STOPPED); }, kRemoved,
     {"OpenSCManagerA", "OpenServiceA QuorvaleService", "ControlService 1 failed 1062", "DeleteService",
      "CloseServiceHandle Service", "CloseServiceHandle Manager"},
     false},
    {"RemoveStoppedAtFirstPoll", Command::Remove, [] { RunningService({kStopped}); },
     kStopping + kStoppedLine + kRemoved, Join({kOpenAndStop, kPoll, kDeleteAndClose}), false},
    {"RemoveStopPendingForThreePolls", Command::Remove,
     [] { RunningService({kPending, kPending, kPending, kStopped}); }, kStopping + "..." + kStoppedLine + kRemoved,
     Join({kOpenAndStop, Repeat(kPoll, 4), kDeleteAndClose}), false},
    // Still running: deleted all the same, and it stays in the database,
    // marked for deletion, until it stops.
    {"RemoveNeitherStoppedNorPending", Command::Remove,
     [] { RunningService({StatusAnswer::Reports(SERVICE_RUNNING)}); }, kStopping + kFailedToStopLine + kRemoved,
     Join({kOpenAndStop, kPoll, kDeleteAndClose}), true},
    // The state last received is the stop-pending one from ControlService.
    {"RemoveQueryFailsAtFirstPoll", Command::Remove, [] { RunningService({kQueryFails}); },
     kStopping + kFailedToStopLine + kRemoved,
     Join({kOpenAndStop, {"Sleep 1000", "QueryServiceStatus failed 6"}, kDeleteAndClose}), true},
    {"RemoveQueryFailsWhileStopPending", Command::Remove,
     [] { RunningService({kPending, kPending, kQueryFails}); }, kStopping + ".." + kFailedToStopLine + kRemoved,
     Join({kOpenAndStop, Repeat(kPoll, 2), {"Sleep 1000", "QueryServiceStatus failed 6"}, kDeleteAndClose}), true},
    // ControlService already reported the service stopped; the failed query
    // leaves that state in the record.
    {"RemoveQueryFailsAfterStopReportedStopped", Command::Remove,
     [] {
         RunningService({kQueryFails});
         standin::SetStopAnswer(kService, SERVICE_STOPPED);
     },
     kStopping + kStoppedLine + kRemoved,
     Join({kOpenAndStop, {"Sleep 1000", "QueryServiceStatus failed 6"}, kDeleteAndClose}), false},
    {"RemoveDeleteFails", Command::Remove,
     [] {
         standin::AddService(kService, SERVICE_STOPPED);
         standin::FailCall(Call::DeleteService, ERROR_ACCESS_DENIED);
     },
     "DeleteService failed - Access is denied. (0x5)\n",
     {"OpenSCManagerA", "OpenServiceA QuorvaleService", "ControlService 1 failed 1062", "DeleteService failed 5",
      "CloseServiceHandle Service", "CloseServiceHandle Manager"},
     true},
};

INSTANTIATE_TEST_SUITE_P(Situations, ConsoleMessages, ::testing::ValuesIn(kMessageCases),
                         [](const ::testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

// Each dot is on the console before the second it stands for: what the user
// sees at every pause of the stop wait.
TEST(RemoveStopWait, PrintsEachDotBeforeItsPause)
{
    RunInFreshProcess([] {
        RunningService({kPending, kPending, kStopped});
        std::vector<std::string> shownAtEachPause;
        std::string printed;
        {
            ConsoleCapture capture;
            standin::SetCallHook([&](Call call) {
                if (call == Call::Sleep) {
                    shownAtEachPause.push_back(capture.Text());
                }
            });
            RemoveService();
            standin::SetCallHook(nullptr);
            printed = capture.Stop();
        }
        EXPECT_EQ(shownAtEachPause,
                  (std::vector<std::string>{kStopping, kStopping + ".", kStopping + ".."}));
        EXPECT_EQ(printed, kStopping + ".." + kStoppedLine + kRemoved);
        EXPECT_EQ(standin::VirtualTime(), 3000u);
    });
}

}  // namespace
