// FormatLastErrorText: the system's text for the thread's last error with its
// code, or the empty text, in the 256-byte buffer every message uses; the
// system's block is released on every path.
#include "install/service_install.h"
#include "platform/standin/calls.h"
#include "platform/standin/system_text.h"
#include "tests/support/fresh_process.h"

#include <cstring>
#include <optional>
#include <string>

namespace {

using standin::Call;

constexpr int kBufferSize = 256;

struct TextCase {
    const char* name;
    DWORD code;
    // The text the system gives for the code: nullopt keeps the system's own.
    std::optional<std::string> systemText;
    bool noText;
    std::string expected;
};

class ErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, ShowsTheTextAndCodeOrNothing)
{
    const TextCase& row = GetParam();
    RunInFreshProcess([&] {
        if (row.noText) {
            standin::RemoveSystemText(row.code);
        } else if (row.systemText) {
            standin::SetSystemText(row.code, *row.systemText);
        }
        char buffer[kBufferSize];
        std::memset(buffer, 'Z', sizeof buffer);
        SetLastError(row.code);

        LPSTR result = FormatLastErrorText(buffer, kBufferSize);

        EXPECT_EQ(result, buffer);
        EXPECT_EQ(std::string(buffer), row.expected);
        std::vector<standin::FormatMessageCall> calls = standin::FormatMessageCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].flags, 0x3100u);
        EXPECT_EQ(calls[0].source, nullptr);
        EXPECT_EQ(calls[0].messageId, row.code);
        EXPECT_EQ(calls[0].languageId, 0u);
        EXPECT_EQ(calls[0].size, 0u);
        EXPECT_FALSE(calls[0].argumentsGiven);
        // Released exactly when the system allocated it.
        EXPECT_EQ(standin::LiveTextBlockCount(), 0u);
        EXPECT_EQ(standin::LocalFreeCalls().size(), standin::TextBlocksAllocated());
        EXPECT_EQ(standin::StrayLocalFreeCount(), 0u);
    });
}

std::string TextOfLength(std::size_t length)
{
    return std::string(length - 2, 'x') + "\r\n";
}

const TextCase kTextCases[] = {
    {"AccessDenied", ERROR_ACCESS_DENIED, std::nullopt, false, "Access is denied. (0x5)"},
    {"ServiceMissing", ERROR_SERVICE_DOES_NOT_EXIST, std::nullopt, false,
     "The specified service does not exist as an installed service. (0x424)"},
    // The longest text that fits, with the longest code.
    {"TextOf242Shown", 0xFFFFFFFFu, TextOfLength(242), false, std::string(240, 'x') + " (0xffffffff)"},
    {"TextOf243Dropped", 0xFFFFFFFFu, TextOfLength(243), false, ""},
    {"NoText", 0x2000BEEFu, std::nullopt, true, ""},
    // Shorter than its line break: nothing of it is kept and nothing before
    // the block is touched.
    {"OneCharacterText", 0x1234u, std::string("X"), false, " (0x1234)"},
    {"EmptyText", 0x1235u, std::string(), false, ""},
};

INSTANTIATE_TEST_SUITE_P(Texts, ErrorText, ::testing::ValuesIn(kTextCases),
                         [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

// The code shown is the one whose text was fetched, even when the last error
// has changed by the time the text is formatted.
TEST(ErrorTextCode, IsTheCodeReadBeforeTheTextWasFetched)
{
    RunInFreshProcess([] {
        standin::SetCallHook([](Call call) {
            if (call == Call::FormatMessageA || call == Call::LocalFree) {
                SetLastError(ERROR_INVALID_HANDLE);
            }
        });
        char buffer[kBufferSize];
        SetLastError(ERROR_ACCESS_DENIED);

        FormatLastErrorText(buffer, kBufferSize);

        standin::SetCallHook(nullptr);
        EXPECT_STREQ(buffer, "Access is denied. (0x5)");
        EXPECT_EQ(standin::LiveTextBlockCount(), 0u);
    });
}

}  // namespace
