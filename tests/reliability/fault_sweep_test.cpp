// Fault sweep: whole runs of the program (a service start with a resume, an
// interrogation and a stop; an install; a remove of a running service) are
// run once to record every platform call they make, then once more per
// recorded call, each in a fresh process, with that one call failing with an
// error the platform gives for it. Every run is compared with a model of what
// the service promises for the failure: the exact platform calls, status
// reports, event-log entries, device operations and console bytes, the exit
// code of the stopped report, and no handle or block left behind except the
// one whose close was made to fail. A run that hangs ends by alarm and fails.
#include "platform/standin/calls.h"
#include "platform/standin/device_io.h"
#include "platform/standin/event_log.h"
#include "platform/standin/memory.h"
#include "platform/standin/service_control.h"
#include "platform/standin/service_database.h"
#include "platform/standin/system_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/expected_text.h"
#include "tests/support/fresh_process.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

int QuorvaleMain(int argc, char* argv[]);

namespace {

using standin::Call;
constexpr std::size_t kNoFailure = static_cast<std::size_t>(-1);
constexpr unsigned kAlarmSeconds = 30;
const char kName[] = "QuorvaleService";
const std::string kDisplay = "Quorvale Service";
const std::string kUsage = std::string("Quorvale -install          to install the service\n") +
                           "Quorvale -remove           to remove the service\n" +
                           "\nStartServiceCtrlDispatcher being called.\n" +
                           "This may take several seconds.  Please wait.\n";

// An error that each call really gives when it fails.
DWORD ErrorFor(Call call)
{
    switch (call) {
    case Call::CreateFileA: return ERROR_ACCESS_DENIED;
    case Call::DeviceIoControl: return ERROR_GEN_FAILURE;
    case Call::HeapAlloc: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::GetProcessHeap: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::CreateEventA: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::GetModuleFileNameA: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::StartServiceCtrlDispatcherA: return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    case Call::RegisterServiceCtrlHandlerExA: return ERROR_SERVICE_DOES_NOT_EXIST;
    case Call::OpenSCManagerA: return ERROR_ACCESS_DENIED;
    case Call::CreateServiceA: return ERROR_SERVICE_EXISTS;
    case Call::OpenServiceA: return ERROR_SERVICE_DOES_NOT_EXIST;
    case Call::ControlService: return ERROR_SERVICE_NOT_ACTIVE;
    case Call::DeleteService: return ERROR_SERVICE_MARKED_FOR_DELETE;
    case Call::RegisterEventSourceA: return ERROR_ACCESS_DENIED;
    case Call::ReportEventA: return ERROR_GEN_FAILURE;
    default: return ERROR_INVALID_HANDLE;  // SetServiceStatus, the closes, waits, SetEvent, Sleep, frees
    }
}

struct Report {
    DWORD state, checkPoint, waitHint, exitCode;
    bool taken;
    bool operator==(const Report&) const = default;
};

struct DeviceOp {
    standin::DeviceCall call;
    std::string device;
    bool succeeded;
    bool operator==(const DeviceOp&) const = default;
};

// What a run must show, built by walking the service's steps as they are
// promised, one platform call at a time; the call at `failAt` fails.
struct Model {
    std::size_t failAt = kNoFailure;
    std::vector<Call> calls;
    std::vector<Report> reports;
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<DeviceOp> deviceOps;
    std::string console;
    DWORD lastLogged = 0;
    DWORD lastError = 0;
    std::size_t leftHandles = 0;
    std::size_t leftHeapBlocks = 0;
    bool reachedRunning = false;
    bool stopSignalLost = false;
    DWORD stoppedExitCode = 0;  // the last logged error when the stopped report is made

    // Makes a call; true when it is the one that fails.
    bool Fails(Call call)
    {
        bool fails = calls.size() == failAt;
        calls.push_back(call);
        if (fails) {
            lastError = ErrorFor(call);
        }
        return fails;
    }

    void Close(bool device = false, const char* name = "")
    {
        if (Fails(Call::CloseHandle)) {
            ++leftHandles;
        } else if (device) {
            deviceOps.push_back({standin::DeviceCall::Close, name, true});
        }
    }

    // --- Display selection keeper ---
    std::array<DWORD, 6> record{};

    bool OpenDevice(const char* name)
    {
        bool opens = !Fails(Call::CreateFileA);
        deviceOps.push_back({standin::DeviceCall::Open, name, opens});
        return opens;
    }

    // The driver of these runs keeps answering 1 as the active selection and
    // designates index 3 (selection 4).
    void ValueRequest(bool read)
    {
        bool fails = Fails(Call::DeviceIoControl);
        deviceOps.push_back({standin::DeviceCall::Control, standin::kValueDevice, !fails});
        if (!fails && read) {
            record[3] = 1;
        }
    }

    DWORD Query()
    {
        if (!OpenDevice(standin::kQueryDevice)) {
            return 0;
        }
        bool noHeap = Fails(Call::GetProcessHeap);
        bool noBlock = Fails(Call::HeapAlloc) || noHeap;
        DWORD target = 0;
        if (!noBlock) {
            bool fails = Fails(Call::DeviceIoControl);
            deviceOps.push_back({standin::DeviceCall::Control, standin::kQueryDevice, !fails});
            target = fails ? 0 : 4;
            if (Fails(Call::HeapFree)) {
                ++leftHeapBlocks;
            }
        }
        Close(true, standin::kQueryDevice);
        return target;
    }

    void Restore()
    {
        DWORD active = 0;
        if (OpenDevice(standin::kValueDevice)) {
            ValueRequest(true);
            Close(true, standin::kValueDevice);
            active = record[3];
        }
        if (active != 1 && active != 2) {
            return;
        }
        DWORD target = Query();
        if (target == 0 || target == active) {
            return;
        }
        if (OpenDevice(standin::kValueDevice)) {
            record[3] = target;
            ValueRequest(false);
            Close(true, standin::kValueDevice);
        }
    }

    // --- Status and error reporting ---
    DWORD nextCheckPoint = 1;
    DWORD currentState = 0;

    void LogError(const std::string& message)
    {
        lastLogged = lastError;
        if (Fails(Call::RegisterEventSourceA)) {
            return;
        }
        if (!Fails(Call::ReportEventA)) {
            entries.push_back({"QuorvaleService error: " + std::to_string(static_cast<int>(lastLogged)), message});
        }
        if (Fails(Call::DeregisterEventSource)) {
            ++leftHandles;
        }
    }

    bool ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint)
    {
        DWORD checkPoint = 0;
        if (state != SERVICE_RUNNING && state != SERVICE_STOPPED) {
            checkPoint = nextCheckPoint++;
        }
        currentState = state;
        bool taken = !Fails(Call::SetServiceStatus);
        reports.push_back({state, checkPoint, waitHint, exitCode, taken});
        if (!taken) {
            LogError("SetServiceStatus");
        }
        return taken;
    }

    // --- The service: start, resume, interrogate, stop ---
    void ServiceRun()
    {
        console = kUsage;
        if (Fails(Call::StartServiceCtrlDispatcherA)) {
            LogError("StartServiceCtrlDispatcher failed.");
            return;
        }
        if (Fails(Call::RegisterServiceCtrlHandlerExA)) {
            return;
        }
        if (ReportStatus(SERVICE_START_PENDING, 0, 3000)) {
            WorkLoop();
        }
        stoppedExitCode = lastLogged;
        ReportStatus(SERVICE_STOPPED, lastLogged, 0);
    }

    void WorkLoop()
    {
        if (!ReportStatus(SERVICE_START_PENDING, 0, 3000)) {
            return;
        }
        if (Fails(Call::CreateEventA)) {
            return;
        }
        if (ReportStatus(SERVICE_START_PENDING, 0, 3000)) {
            Restore();
            if (ReportStatus(SERVICE_RUNNING, 0, 0)) {
                reachedRunning = true;
                // The controls are delivered once the service waits (and the
                // wait has not failed).
                if (!Fails(Call::WaitForSingleObject)) {
                    ReportStatus(SERVICE_RUNNING, 0, 0);  // resume
                    Restore();
                    ReportStatus(currentState, 0, 0);  // interrogate
                    ReportStatus(SERVICE_STOP_PENDING, 0, 0);
                    if (Fails(Call::SetEvent)) {
                        // The stop is lost; the SCM's second stop ends it.
                        stopSignalLost = true;
                        ReportStatus(SERVICE_STOP_PENDING, 0, 0);
                        Fails(Call::SetEvent);
                    }
                }
            }
        }
        Close();  // the stop event
    }

    // --- Install and remove ---
    void FailureLine(const std::string& prefix)
    {
        DWORD code = lastError;
        if (!Fails(Call::FormatMessageA)) {
            Fails(Call::LocalFree);
        }
        console += prefix + ExpectedErrorText(code) + "\n";
    }

    void Install()
    {
        if (Fails(Call::GetModuleFileNameA)) {
            FailureLine("Unable to install " + kDisplay + " - ");
            return;
        }
        if (Fails(Call::OpenSCManagerA)) {
            FailureLine("OpenSCManager failed - ");
            return;
        }
        if (!Fails(Call::CreateServiceA)) {
            console += kDisplay + " installed.\n";
            if (Fails(Call::CloseServiceHandle)) {
                ++leftHandles;
            }
        } else {
            FailureLine("CreateService failed - ");
        }
        if (Fails(Call::CloseServiceHandle)) {
            ++leftHandles;
        }
    }

    // The service is running; the stop leaves it stop-pending, the first
    // poll finds it stop-pending, the second stopped.
    void Remove()
    {
        if (Fails(Call::OpenSCManagerA)) {
            FailureLine("OpenSCManager failed - ");
            return;
        }
        if (Fails(Call::OpenServiceA)) {
            FailureLine("OpenService failed - ");
            if (Fails(Call::CloseServiceHandle)) {
                ++leftHandles;
            }
            return;
        }
        if (!Fails(Call::ControlService)) {
            DWORD state = SERVICE_STOP_PENDING;
            console += "Stopping " + kDisplay + ".";
            Fails(Call::Sleep);
            const DWORD answers[] = {SERVICE_STOP_PENDING, SERVICE_STOPPED};
            for (DWORD answer : answers) {
                if (Fails(Call::QueryServiceStatus)) {
                    break;
                }
                state = answer;
                if (state != SERVICE_STOP_PENDING) {
                    break;
                }
                console += ".";
                Fails(Call::Sleep);
            }
            console += state == SERVICE_STOPPED ? "\n" + kDisplay + " stopped.\n" : "\n" + kDisplay + " failed to stop.\n";
        }
        if (!Fails(Call::DeleteService)) {
            console += kDisplay + " removed.\n";
        } else {
            FailureLine("DeleteService failed - ");
        }
        for (int i = 0; i < 2; ++i) {
            if (Fails(Call::CloseServiceHandle)) {
                ++leftHandles;
            }
        }
    }
};

enum class Scenario { Service, Install, Remove };

const char* NameOf(Scenario scenario)
{
    switch (scenario) {
    case Scenario::Service: return "service start, resume, interrogate, stop";
    case Scenario::Install: return "install";
    default: return "remove of a running service";
    }
}

Model ModelOf(Scenario scenario, std::size_t failAt)
{
    Model model;
    model.failAt = failAt;
    switch (scenario) {
    case Scenario::Service: model.ServiceRun(); break;
    case Scenario::Install: model.Install(); break;
    case Scenario::Remove: model.Remove(); break;
    }
    return model;
}

bool WaitedWithoutFailure()
{
    for (const standin::CallRecord& record : standin::CallLog()) {
        if (record.call == Call::WaitForSingleObject) {
            return !record.failed;
        }
    }
    return false;
}

bool SetEventFailed()
{
    for (const standin::CallRecord& record : standin::CallLog()) {
        if (record.call == Call::SetEvent && record.failed) {
            return true;
        }
    }
    return false;
}

void SetUpScenario(Scenario scenario)
{
    standin::SimulateFixedActiveSelection(1);
    standin::SimulateDevice(standin::kQueryDevice, std::vector<standin::DeviceAnswer>{
                                                       standin::AnswerBytes(standin::QueryReplyBytes(0, 1, 3)),
                                                       standin::AnswerBytes(standin::QueryReplyBytes(0, 1, 3))});
    if (scenario == Scenario::Service) {
        standin::EnableScm();
        standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, WaitedWithoutFailure);
        standin::QueueControl(SERVICE_CONTROL_INTERROGATE);
        standin::QueueControl(SERVICE_CONTROL_STOP);
        standin::QueueControl(SERVICE_CONTROL_STOP, 0, SetEventFailed);
    }
    if (scenario == Scenario::Remove) {
        standin::AddService(kName, SERVICE_RUNNING);
        standin::ScriptStatusQueries(kName, {standin::StatusAnswer::Reports(SERVICE_STOP_PENDING),
                                             standin::StatusAnswer::Reports(SERVICE_STOPPED)});
    }
}

int RunProgram(Scenario scenario)
{
    std::string program = "Quorvale.exe";
    std::string command = scenario == Scenario::Install ? "-install" : "-remove";
    char* argv[] = {program.data(), command.data(), nullptr};
    return QuorvaleMain(scenario == Scenario::Service ? 1 : 2, argv);
}

// The platform calls of one undisturbed run, made in a fresh process.
std::vector<Call> RecordCalls(Scenario scenario)
{
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    RunInFreshProcess([&] {
        close(channel[0]);
        alarm(kAlarmSeconds);
        SetUpScenario(scenario);
        ConsoleCapture capture;
        RunProgram(scenario);
        capture.Stop();
        for (const standin::CallRecord& record : standin::CallLog()) {
            int call = static_cast<int>(record.call);
            EXPECT_EQ(write(channel[1], &call, sizeof call), static_cast<ssize_t>(sizeof call));
        }
        close(channel[1]);
    });
    close(channel[1]);
    std::vector<Call> calls;
    int call = 0;
    while (read(channel[0], &call, sizeof call) == static_cast<ssize_t>(sizeof call)) {
        calls.push_back(static_cast<Call>(call));
    }
    close(channel[0]);
    return calls;
}

std::vector<std::string> Names(const std::vector<Call>& calls)
{
    std::vector<std::string> names;
    for (Call call : calls) {
        names.push_back(standin::CallName(call));
    }
    return names;
}

// One run with the call at `failAt` failing, checked against the model.
void CheckRun(Scenario scenario, std::size_t failAt)
{
    const Model model = ModelOf(scenario, failAt);
    RunInFreshProcess([&] {
        alarm(kAlarmSeconds);
        SetUpScenario(scenario);
        if (failAt != kNoFailure) {
            standin::FailNthCall(failAt, ErrorFor(model.calls[failAt]));
        }
        ConsoleCapture capture;
        int status = RunProgram(scenario);
        std::string printed = capture.Stop();

        SCOPED_TRACE(failAt == kNoFailure ? std::string("no failure")
                                          : "failing call " + std::to_string(failAt) + ", " +
                                                standin::CallName(model.calls[failAt]));
        std::vector<Call> calls;
        for (const standin::CallRecord& record : standin::CallLog()) {
            calls.push_back(record.call);
        }
        EXPECT_EQ(Names(calls), Names(model.calls));
        EXPECT_EQ(printed, model.console);
        EXPECT_EQ(standin::OpenHandleCount(), model.leftHandles);
        EXPECT_EQ(standin::LiveHeapBlockCount(), model.leftHeapBlocks);
        EXPECT_EQ(standin::InvalidHeapFreeCount(), 0u);
        EXPECT_EQ(standin::LiveTextBlockCount(), 0u);
        EXPECT_EQ(standin::StrayLocalFreeCount(), 0u);

        std::vector<std::pair<std::string, std::string>> entries;
        for (const standin::EventLogEntry& entry : standin::EventLogEntries()) {
            EXPECT_EQ(entry.sourceName, kName);
            EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
            ASSERT_EQ(entry.strings.size(), 2u);
            entries.push_back({entry.strings[0], entry.strings[1]});
        }
        EXPECT_EQ(entries, model.entries);

        if (scenario != Scenario::Service) {
            EXPECT_EQ(status, 0);
            return;
        }
        std::vector<Report> reports;
        for (const standin::StatusReport& report : standin::StatusReports()) {
            reports.push_back({report.status.dwCurrentState, report.status.dwCheckPoint, report.status.dwWaitHint,
                               report.status.dwWin32ExitCode, report.taken});
            EXPECT_EQ(report.status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
            EXPECT_EQ(report.status.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT);
            EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
        }
        EXPECT_EQ(reports, model.reports);
        if (!reports.empty()) {
            // The last report is the stopped one, carrying the error logged
            // last before it.
            EXPECT_EQ(reports.back().state, SERVICE_STOPPED);
            EXPECT_EQ(reports.back().exitCode, model.stoppedExitCode);
        }
        std::vector<DeviceOp> ops;
        for (const standin::DeviceRecord& record : standin::DeviceLog()) {
            ops.push_back({record.call, record.device, record.succeeded});
        }
        EXPECT_EQ(ops, model.deviceOps);
    });
}

// The kind of outcome the model foresees, for the closing figures.
std::string KindOf(const Model& model, Scenario scenario)
{
    Call failed = model.calls[model.failAt];
    if (model.leftHandles > 0 || model.leftHeapBlocks > 0) {
        return "close/free failed: that handle or block stays, nothing else";
    }
    if (scenario != Scenario::Service) {
        if (model.console.find("failed - ") != std::string::npos || model.console.find("Unable") == 0) {
            return "console failure line with system text";
        }
        return "absorbed: command carries on as promised";
    }
    if (!model.entries.empty()) {
        return "event-log entry, stopped report carries the code";
    }
    if (failed == Call::RegisterServiceCtrlHandlerExA || failed == Call::CreateEventA) {
        return "start-up ends silently";
    }
    if (model.stopSignalLost) {
        return "stop signal lost, next stop ends the service";
    }
    if (failed == Call::WaitForSingleObject) {
        return "wait fails: service stops at once";
    }
    return "absorbed: that restore run ends early, or its write goes unnoticed";
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryCallFailingKeepsThePromises)
{
    const Scenario scenario = GetParam();
    const std::vector<Call> recorded = RecordCalls(scenario);
    // The undisturbed run makes exactly the calls the model walks through.
    ASSERT_EQ(Names(recorded), Names(ModelOf(scenario, kNoFailure).calls));
    CheckRun(scenario, kNoFailure);

    std::map<std::string, int> kinds;
    for (std::size_t position = 0; position < recorded.size(); ++position) {
        CheckRun(scenario, position);
        ++kinds[KindOf(ModelOf(scenario, position), scenario)];
    }
    std::printf("fault sweep, %s: %zu calls swept, outcomes:\n", NameOf(scenario), recorded.size());
    for (const auto& [kind, count] : kinds) {
        std::printf("  %3d  %s\n", count, kind.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep,
                         ::testing::Values(Scenario::Service, Scenario::Install, Scenario::Remove),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             switch (info.param) {
                             case Scenario::Service: return std::string("ServiceStartResumeInterrogateStop");
                             case Scenario::Install: return std::string("Install");
                             default: return std::string("RemoveRunningService");
                             }
                         });

}  // namespace
