// Soak: a long stream of resumes and interrogations against the running
// service, the first resumes arriving while the start-up restore is still
// talking to the driver. Each batch is checked as it completes: every restore
// run is whole and well formed (read, query, write, each opened, used and
// closed, all on one thread, never mixed with another run's requests), and
// the heap and handle counts are the same after every batch. The counts come
// from the environment so that the normal test run stays short:
//   QUORVALE_SOAK_RESUMES (default 2000), QUORVALE_SOAK_INTERROGATIONS
//   (default 200). scripts/soak.sh sets the full counts. Prints the rate and
//   the counts it found.
#include "platform/standin/calls.h"
#include "platform/standin/device_io.h"
#include "platform/standin/event_log.h"
#include "platform/standin/memory.h"
#include "platform/standin/service_control.h"
#include "tests/support/console_capture.h"
#include "tests/support/fresh_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

int QuorvaleMain(int argc, char* argv[]);

namespace {

std::size_t CountFromEnvironment(const char* name, std::size_t fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

// One service process serves at most this many controls, so that each
// dispatcher run stays well inside the simulated SCM's time-out, under TSan
// too.
constexpr std::size_t kControlsPerProcess = 10000;
constexpr std::size_t kBatch = 1000;
constexpr std::size_t kRacingResumes = 20;

struct Figures {
    std::size_t runs = 0;
    std::size_t badRuns = 0;
    std::set<std::size_t> handleCounts;
    std::set<std::size_t> heapCounts;
    std::string firstProblem;
};

bool Words(const standin::DeviceRecord& record, std::initializer_list<DWORD> words)
{
    std::size_t offset = 0;
    for (DWORD word : words) {
        if (standin::WordAt(record.input, offset) != word) {
            return false;
        }
        offset += 4;
    }
    return true;
}

// Splits the device record into restore runs and checks each: the driver
// answers 1 as active and designates output 2, so every run reads, queries
// and writes 2, nine operations on one thread.
void CheckRuns(const std::vector<standin::DeviceRecord>& log, Figures& figures)
{
    using standin::DeviceCall;
    for (std::size_t i = 0; i < log.size();) {
        bool whole = i + 9 <= log.size();
        for (std::size_t k = 0; whole && k < 9; ++k) {
            const standin::DeviceRecord& op = log[i + k];
            static const DeviceCall calls[] = {DeviceCall::Open, DeviceCall::Control, DeviceCall::Close};
            const char* device = (k / 3 == 1) ? standin::kQueryDevice : standin::kValueDevice;
            whole = op.call == calls[k % 3] && op.device == device && op.succeeded && op.thread == log[i].thread;
            if (whole && k == 1) {
                whole = op.code == 0x222880 && Words(op, {0xFE00, 0xC000, 2});
            }
            if (whole && k == 4) {
                whole = op.code == 0x222940 && op.inSize == 32 && op.outSize == 36;
            }
            if (whole && k == 7) {
                whole = op.code == 0x222880 && Words(op, {0xFF00, 0xC000, 2, 2});
            }
            if (whole && k % 3 != 0) {
                whole = op.handle == log[i + k - k % 3].handle;
            }
        }
        ++figures.runs;
        if (!whole) {
            ++figures.badRuns;
            if (figures.firstProblem.empty()) {
                figures.firstProblem = "run at device operation " + std::to_string(i) + " is not whole";
            }
            ++i;
            continue;
        }
        i += 9;
    }
}

void SimulateDriver()
{
    standin::SimulateFixedActiveSelection(1);
    standin::SimulateDevice(standin::kQueryDevice, [](const standin::DeviceRequest&) {
        return standin::AnswerBytes(standin::QueryReplyBytes(0, 1, 2));
    });
}

// One service process: start, `resumes` resumes with an interrogation after
// every `resumes / interrogations` of them, stop.
void SoakOneProcess(std::size_t resumes, std::size_t interrogations, double& seconds)
{
    SimulateDriver();
    // The start-up run is slowed at each request so that the resumes queued
    // for the first start-pending report meet it half way.
    std::atomic<int> slowed{0};
    standin::SetDeviceRequestHook([&slowed](const standin::DeviceRequest&) {
        if (std::this_thread::get_id() == standin::ServiceThreadId() && slowed.fetch_add(1) < 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    standin::EnableScm();
    for (std::size_t i = 0; i < kRacingResumes && i < resumes; ++i) {
        standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND,
                              i == 0 ? standin::OnceReportCount(1) : standin::ControlCondition());
    }

    Figures figures;
    std::size_t delivered = 0;
    auto feed = [&] {
        std::size_t queued = std::min(kRacingResumes, resumes);
        std::size_t interrogated = 0;
        std::size_t every = interrogations > 0 ? std::max<std::size_t>(1, resumes / interrogations) : 0;
        std::size_t last = queued - 1;
        if (queued > 0) {
            standin::WaitForControl(last);
        }
        auto start = std::chrono::steady_clock::now();
        while (queued < resumes || interrogated < interrogations) {
            for (std::size_t n = 0; n < kBatch && (queued < resumes || interrogated < interrogations); ++n) {
                if (queued < resumes && (every == 0 || interrogated >= interrogations || (queued + 1) % every != 0 ||
                                         queued / every <= interrogated)) {
                    last = standin::QueueControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
                    ++queued;
                } else {
                    last = standin::QueueControl(SERVICE_CONTROL_INTERROGATE);
                    ++interrogated;
                }
            }
            standin::WaitForControl(last);
            // The service now waits for stop and no run is under way.
            CheckRuns(standin::DeviceLog(), figures);
            standin::ClearDeviceLog();
            standin::ClearCallLog();
            figures.handleCounts.insert(standin::OpenHandleCount());
            figures.heapCounts.insert(standin::LiveHeapBlockCount());
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const standin::ControlRecord& control : standin::Controls()) {
            delivered += control.delivered ? 1 : 0;
        }
        standin::QueueControl(SERVICE_CONTROL_STOP);
    };

    ConsoleCapture capture;
    std::thread feeder(feed);
    std::string program = "Quorvale.exe";
    char* argv[] = {program.data(), nullptr};
    QuorvaleMain(1, argv);
    feeder.join();
    capture.Stop();
    CheckRuns(standin::DeviceLog(), figures);

    EXPECT_EQ(figures.badRuns, 0u) << figures.firstProblem;
    EXPECT_EQ(delivered, resumes + interrogations);
    // The start-up run and one per resume.
    EXPECT_EQ(figures.runs, resumes + 1);
    EXPECT_EQ(figures.handleCounts, std::set<std::size_t>{1}) << "only the stop event is open while running";
    EXPECT_EQ(figures.heapCounts, std::set<std::size_t>{0});
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
    EXPECT_EQ(standin::LiveHeapBlockCount(), 0u);
    EXPECT_TRUE(standin::EventLogEntries().empty());
    std::vector<standin::StatusReport> reports = standin::StatusReports();
    ASSERT_FALSE(reports.empty());
    // Resumes handled before the service first reported itself running met
    // the start-up restore.
    std::size_t firstRunning = 0;
    while (firstRunning < reports.size() &&
           !(reports[firstRunning].status.dwCurrentState == SERVICE_RUNNING &&
             reports[firstRunning].thread == standin::ReportingThread::Service)) {
        ++firstRunning;
    }
    std::size_t duringStartUp = 0;
    for (const standin::ControlRecord& control : standin::Controls()) {
        duringStartUp += control.delivered && control.reportsBefore <= firstRunning ? 1 : 0;
    }
    EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(reports.back().status.dwWin32ExitCode, 0u);
    std::printf("soak process: %zu resumes (%zu during start-up), %zu interrogations, %zu restore runs, handles open "
                "while running %s, heap blocks %s\n",
                resumes, duringStartUp, interrogations, figures.runs,
                figures.handleCounts.size() == 1 ? std::to_string(*figures.handleCounts.begin()).c_str() : "varied",
                figures.heapCounts.size() == 1 ? std::to_string(*figures.heapCounts.begin()).c_str() : "varied");
}

TEST(Soak, ResumesAndInterrogationsKeepRunsWholeAndCountsFlat)
{
    const std::size_t resumes = CountFromEnvironment("QUORVALE_SOAK_RESUMES", 2000);
    const std::size_t interrogations = CountFromEnvironment("QUORVALE_SOAK_INTERROGATIONS", 200);
    const std::size_t total = resumes + interrogations;
    const std::size_t processes = std::max<std::size_t>(1, (total + kControlsPerProcess - 1) / kControlsPerProcess);

    auto begin = std::chrono::steady_clock::now();
    for (std::size_t p = 0; p < processes; ++p) {
        std::size_t r = resumes / processes + (p < resumes % processes ? 1 : 0);
        std::size_t i = interrogations / processes + (p < interrogations % processes ? 1 : 0);
        RunInFreshProcess([&] {
            double seconds = 0;
            SoakOneProcess(r, i, seconds);
            std::printf("soak process %zu: %.0f events/s\n", p + 1, seconds > 0 ? (r + i) / seconds : 0.0);
        });
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("soak: %zu resumes and %zu interrogations in %zu processes, %.2f s, %.0f events/s overall\n", resumes,
                interrogations, processes, seconds, seconds > 0 ? total / seconds : 0.0);
}

}  // namespace
