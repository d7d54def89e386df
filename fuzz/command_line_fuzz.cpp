// Any command line through the program's entry point, with the SCM and the
// service database of the stand-in. The process is reused from input to
// input, so the oracle starts from what the stand-in holds: whether the
// service is registered decides what install and remove say. Each input must
// give exactly the console bytes of its case (a command's messages, or the
// four usage and notice lines and one event-log entry for the dispatcher that
// cannot start), exit status 0 after a command, and no handle, heap or text
// block left.
//
// Input: byte 0 chooses the situation (bit 0: the SCM database refuses the
// open); the rest is the argument vector after the program name, its strings
// separated by NUL bytes.
#include "fuzz/fuzz_check.h"
#include "platform/standin/calls.h"
#include "platform/standin/event_log.h"
#include "platform/standin/memory.h"
#include "platform/standin/service_control.h"
#include "platform/standin/service_database.h"
#include "platform/standin/system_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/expected_text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int QuorvaleMain(int argc, char* argv[]);

namespace {

const char kName[] = "QuorvaleService";
const char kDisplay[] = "Quorvale Service";

// A switch character, then the word, ASCII letters compared without case.
bool NamesCommand(const std::string& argument, const char* word)
{
    if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
        return false;
    }
    std::string rest = argument.substr(1);
    if (rest.size() != std::string(word).size()) {
        return false;
    }
    for (std::size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

const std::string kUsage = std::string("Quorvale -install          to install the service\n") +
                           "Quorvale -remove           to remove the service\n" +
                           "\nStartServiceCtrlDispatcher being called.\n" +
                           "This may take several seconds.  Please wait.\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const bool managerRefused = (data[0] & 1) != 0;
    std::vector<std::string> arguments{"Quorvale.exe"};
    std::string current;
    for (size_t i = 1; i < size && arguments.size() < 16; ++i) {
        if (data[i] == '\0') {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 1 && arguments.size() < 16) {
        arguments.push_back(current);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());

    standin::ClearFailures();
    standin::ClearCallLog();
    standin::ClearScmCallRecords();
    standin::ClearSystemTextRecords();
    standin::RefuseServiceManager(managerRefused ? ERROR_ACCESS_DENIED : 0);
    const bool registered = standin::IsServiceRegistered(kName);
    standin::ClearEventLog();

    std::string expected;
    bool command = true;
    if (argc > 1 && NamesCommand(arguments[1], "install")) {
        if (managerRefused) {
            expected = "OpenSCManager failed - " + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\n";
        } else if (registered) {
            expected = "CreateService failed - " + ExpectedErrorText(ERROR_SERVICE_EXISTS) + "\n";
        } else {
            expected = std::string(kDisplay) + " installed.\n";
        }
    } else if (argc > 1 && NamesCommand(arguments[1], "remove")) {
        if (managerRefused) {
            expected = "OpenSCManager failed - " + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\n";
        } else if (!registered) {
            expected = "OpenService failed - " + ExpectedErrorText(ERROR_SERVICE_DOES_NOT_EXIST) + "\n";
        } else {
            // Installed here and never started: the stop is refused, and the
            // service is deleted without a word about it.
            expected = std::string(kDisplay) + " removed.\n";
        }
    } else {
        command = false;
        expected = kUsage;
    }

    ConsoleCapture capture;
    const int status = QuorvaleMain(argc, argv.data());
    const std::string printed = capture.Stop();

    if (printed != expected) {
        std::fprintf(stderr, "printed:\n%s\nexpected:\n%s\n", printed.c_str(), expected.c_str());
    }
    FUZZ_CHECK(printed == expected);
    std::vector<standin::Call> calls;
    for (const standin::CallRecord& record : standin::CallLog()) {
        calls.push_back(record.call);
    }
    auto writesEventLog = [&calls] {
        for (standin::Call call : calls) {
            if (call == standin::Call::RegisterEventSourceA || call == standin::Call::ReportEventA ||
                call == standin::Call::DeregisterEventSource) {
                return true;
            }
        }
        return false;
    };
    if (command) {
        FUZZ_CHECK(status == 0);
        FUZZ_CHECK(!writesEventLog());
        bool installed = !managerRefused && NamesCommand(arguments[1], "install");
        bool removed = !managerRefused && NamesCommand(arguments[1], "remove");
        FUZZ_CHECK(standin::IsServiceRegistered(kName) == ((registered || installed) && !removed));
    } else {
        const std::vector<standin::Call> logged{
            standin::Call::StartServiceCtrlDispatcherA, standin::Call::RegisterEventSourceA,
            standin::Call::ReportEventA, standin::Call::DeregisterEventSource};
        FUZZ_CHECK(calls == logged);
        const std::vector<standin::EventLogEntry> entries = standin::EventLogEntries();
        FUZZ_CHECK(entries.size() == 1);
        const standin::EventLogEntry& entry = entries.back();
        FUZZ_CHECK(entry.sourceName == kName && entry.type == EVENTLOG_ERROR_TYPE);
        FUZZ_CHECK(entry.strings.size() == 2);
        FUZZ_CHECK(entry.strings[0] == "QuorvaleService error: 1063");
        FUZZ_CHECK(entry.strings[1] == "StartServiceCtrlDispatcher failed.");
        FUZZ_CHECK(standin::IsServiceRegistered(kName) == registered);
    }
    FUZZ_CHECK(standin::OpenHandleCount() == 0);
    FUZZ_CHECK(standin::LiveHeapBlockCount() == 0);
    FUZZ_CHECK(standin::LiveTextBlockCount() == 0);
    return 0;
}
