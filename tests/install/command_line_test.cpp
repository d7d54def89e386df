// The entry point's choice from the first argument: the install command, the
// remove command, or the usage lines and the service dispatcher. A console
// start has no SCM behind it, so the dispatcher fails with 1063 and the
// failure goes to the event log as one entry.
#include "platform/standin/calls.h"
#include "platform/standin/event_log.h"
#include "platform/standin/service_database.h"
#include "service/status_report.h"
#include "tests/support/console_capture.h"
#include "tests/support/fresh_process.h"

#include <algorithm>
#include <string>
#include <vector>

int QuorvaleMain(int argc, char* argv[]);

namespace {

using standin::Call;

enum class Runs { Install, Remove, Dispatcher };

struct CommandLineCase {
    const char* name;
    std::vector<std::string> arguments;  // after the program's own name
    Runs runs;
};

const std::string kUsage =
    "Quorvale -install          to install the service\n"
    "Quorvale -remove           to remove the service\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

// With no service registered: install creates it, remove finds none.
std::string PrintedBy(Runs runs)
{
    switch (runs) {
    case Runs::Install:
        return "Quorvale Service installed.\n";
    case Runs::Remove:
        return "OpenService failed - The specified service does not exist as an installed service. (0x424)\n";
    case Runs::Dispatcher:
        break;
    }
    return kUsage;
}

std::vector<std::string> ScmCallsOf(Runs runs)
{
    switch (runs) {
    case Runs::Install:
        return {"OpenSCManagerA", "CreateServiceA QuorvaleService", "CloseServiceHandle Service",
                "CloseServiceHandle Manager"};
    case Runs::Remove:
        return {"OpenSCManagerA", "OpenServiceA QuorvaleService failed 1060", "CloseServiceHandle Manager"};
    case Runs::Dispatcher:
        break;
    }
    return {};
}

std::size_t CountOf(const std::vector<standin::CallRecord>& log, Call call)
{
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [call](const standin::CallRecord& r) { return r.call == call; }));
}

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, RunsTheCommandOrTheDispatcher)
{
    const CommandLineCase& row = GetParam();
    RunInFreshProcess([&] {
        std::vector<std::string> strings = {"C:\\Program Files\\Quorvale\\Quorvale.exe"};
        strings.insert(strings.end(), row.arguments.begin(), row.arguments.end());
        std::vector<char*> argv;
        for (std::string& text : strings) {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);

        int status = -1;
        std::string printed =
            CaptureStdout([&] { status = QuorvaleMain(static_cast<int>(strings.size()), argv.data()); });

        EXPECT_EQ(status, 0);
        EXPECT_EQ(printed, PrintedBy(row.runs));
        EXPECT_EQ(standin::ScmCallSummary(), ScmCallsOf(row.runs));
        EXPECT_EQ(standin::OpenHandleCount(), 0u);

        std::vector<standin::CallRecord> log = standin::CallLog();
        auto dispatcher = std::find_if(log.begin(), log.end(), [](const standin::CallRecord& r) {
            return r.call == Call::StartServiceCtrlDispatcherA;
        });
        if (row.runs != Runs::Dispatcher) {
            EXPECT_EQ(dispatcher, log.end()) << "a command never starts the dispatcher";
            EXPECT_EQ(CountOf(log, Call::RegisterEventSourceA), 0u);
            EXPECT_TRUE(standin::EventLogEntries().empty());
            return;
        }
        ASSERT_NE(dispatcher, log.end());
        EXPECT_EQ(CountOf(log, Call::StartServiceCtrlDispatcherA), 1u);
        // One entry for the failed dispatcher call, written after it.
        std::vector<standin::CallRecord> after(dispatcher + 1, log.end());
        EXPECT_EQ(CountOf(after, Call::RegisterEventSourceA), 1u);
        EXPECT_EQ(CountOf(after, Call::ReportEventA), 1u);
        EXPECT_EQ(CountOf(log, Call::RegisterEventSourceA), 1u);
        EXPECT_EQ(LastLoggedError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        std::vector<standin::EventLogEntry> entries = standin::EventLogEntries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].sourceName, "QuorvaleService");
        EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(entries[0].strings,
                  (std::vector<std::string>{"QuorvaleService error: 1063", "StartServiceCtrlDispatcher failed."}));
    });
}

const CommandLineCase kCommandLineCases[] = {
    {"DashInstall", {"-install"}, Runs::Install},
    {"SlashInstallInCapitals", {"/INSTALL"}, Runs::Install},
    {"DashRemoveMixedCase", {"-Remove"}, Runs::Remove},
    {"SlashRemove", {"/remove"}, Runs::Remove},
    {"SecondArgumentIgnored", {"-install", "extra"}, Runs::Install},
    {"WordWithoutSwitch", {"install"}, Runs::Dispatcher},
    {"DoubledSwitch", {"--install"}, Runs::Dispatcher},
    {"LongerWord", {"-installx"}, Runs::Dispatcher},
    {"LoneDash", {"-"}, Runs::Dispatcher},
    {"EmptyArgument", {""}, Runs::Dispatcher},
    {"NoArgument", {}, Runs::Dispatcher},
};

INSTANTIATE_TEST_SUITE_P(Arguments, CommandLine, ::testing::ValuesIn(kCommandLineCases),
                         [](const ::testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

}  // namespace
