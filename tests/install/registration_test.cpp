// What InstallService registers with the SCM: every CreateServiceA argument,
// and the program path enclosed in double quotes so that the SCM cannot take
// "C:\Program Files\..." for C:\Program.exe with arguments.
#include "install/service_install.h"
#include "platform/standin/calls.h"
#include "platform/standin/service_database.h"
#include "platform/standin/system_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/fresh_process.h"

#include <optional>
#include <string>
#include <vector>

namespace {

using Text = std::optional<std::string>;

TEST(ServiceRegistration, RegistersAnAutoStartLocalSystemServiceUnderItsQuotedPath)
{
    RunInFreshProcess([] {
        standin::SetModulePath("C:\\Program Files\\Quorvale\\Quorvale.exe");
        std::string printed = CaptureStdout([] { InstallService(); });
        EXPECT_EQ(printed, "Quorvale Service installed.\n");

        std::vector<standin::ManagerOpenCall> opens = standin::ManagerOpenCalls();
        std::vector<standin::CreateServiceCall> creates = standin::CreateServiceCalls();
        ASSERT_EQ(opens.size(), 1u);
        ASSERT_EQ(creates.size(), 1u);
        const standin::CreateServiceCall& call = creates[0];
        EXPECT_NE(call.manager, nullptr);
        EXPECT_EQ(call.manager, opens[0].returned);
        EXPECT_EQ(call.serviceName, Text("QuorvaleService"));
        EXPECT_EQ(call.displayName, Text("Quorvale Service"));
        EXPECT_EQ(call.desiredAccess, 0xF01FFu);
        EXPECT_EQ(call.serviceType, 0x10u);
        EXPECT_EQ(call.startType, 2u);
        EXPECT_EQ(call.errorControl, 1u);
        EXPECT_EQ(call.binaryPathName, Text("\"C:\\Program Files\\Quorvale\\Quorvale.exe\""));
        EXPECT_EQ(call.loadOrderGroup, std::nullopt);
        EXPECT_FALSE(call.tagIdAsked);
        // A pointer to the empty list, not a null pointer.
        ASSERT_TRUE(call.dependencies.has_value());
        EXPECT_TRUE(call.dependencies->empty());
        EXPECT_EQ(call.serviceStartName, std::nullopt) << "LocalSystem is a null account";
        EXPECT_EQ(call.password, std::nullopt);

        EXPECT_TRUE(standin::IsServiceRegistered("QuorvaleService"));
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
    });
}

// The module-path buffer holds 512 bytes: two quotes, the path and its NUL.
struct PathCase {
    const char* name;
    std::size_t length;
    bool registered;
};

class ModulePathLength : public ::testing::TestWithParam<PathCase> {};

std::string PathOfLength(std::size_t length)
{
    std::string head = "C:\\Program Files\\Quorvale\\";
    std::string tail = ".exe";
    return head + std::string(length - head.size() - tail.size(), 'q') + tail;
}

TEST_P(ModulePathLength, RegistersOnlyAWholePath)
{
    const PathCase& row = GetParam();
    RunInFreshProcess([&] {
        std::string path = PathOfLength(row.length);
        ASSERT_EQ(path.size(), row.length);
        standin::SetModulePath(path);
        std::string printed = CaptureStdout([] { InstallService(); });

        std::vector<standin::CreateServiceCall> creates = standin::CreateServiceCalls();
        if (row.registered) {
            EXPECT_EQ(printed, "Quorvale Service installed.\n");
            ASSERT_EQ(creates.size(), 1u);
            EXPECT_EQ(creates[0].binaryPathName, Text("\"" + path + "\""));
        } else {
            EXPECT_EQ(printed, "Unable to install Quorvale Service - The data area passed to a system call is "
                               "too small. (0x7a)\n");
            EXPECT_TRUE(creates.empty());
            EXPECT_TRUE(standin::ScmCalls().empty()) << "the SCM was not to be opened";
        }
        EXPECT_EQ(standin::IsServiceRegistered("QuorvaleService"), row.registered);
        EXPECT_EQ(standin::OpenHandleCount(), 0u);
        EXPECT_EQ(standin::LiveTextBlockCount(), 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(Lengths, ModulePathLength,
                         ::testing::Values(PathCase{"LongestThatFits", 509, true},
                                           PathCase{"OneTooLong", 510, false},
                                           PathCase{"FarTooLong", 2000, false}),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return info.param.name; });

}  // namespace
