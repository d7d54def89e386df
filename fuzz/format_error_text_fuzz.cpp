// System error texts of any length and content (embedded NULs, no line end,
// shorter than two characters) through FormatLastErrorText, with the size
// every caller passes (256) and others: small, at the fitting limit, zero and
// negative. The buffer is exactly `size` bytes, so that ASan sees any write
// past it; the result is either the empty text or the text without its last
// two characters followed by " (0x<code>)"; the system's block is released.
//
// Input: bytes 0-3 the error code, byte 4 how the size is chosen, bytes 5-6
// its operand, byte 7 whether the system has a text at all, bytes 8.. the
// text.
#include "fuzz/fuzz_check.h"
#include "install/service_install.h"
#include "platform/standin/system_text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kGuard = static_cast<char>(0xEE);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    const DWORD code = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
    const std::string text(reinterpret_cast<const char*>(data + 8), size - 8);
    const bool hasText = (data[7] & 1) == 0;

    long long n = hasText ? static_cast<long long>(text.size()) : 0;
    int bufferSize = 256;
    switch (data[4] % 4) {
    case 1:
        bufferSize = data[5] % 32;
        break;
    case 2:
        bufferSize = static_cast<int16_t>(data[5] | (data[6] << 8));
        break;
    case 3:
        bufferSize = static_cast<int>(n + 12 + (data[5] % 4));  // around the fitting limit
        break;
    default:
        break;
    }

    standin::ClearCallLog();
    standin::ClearSystemTextRecords();
    if (hasText) {
        standin::SetSystemText(code, text);
    } else {
        standin::RemoveSystemText(code);
    }
    const std::size_t blocksBefore = standin::TextBlocksAllocated();
    const std::size_t straysBefore = standin::StrayLocalFreeCount();

    const std::size_t allocated = bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 1;
    char* buffer = new char[allocated];
    std::memset(buffer, kGuard, allocated);

    SetLastError(code);
    LPSTR result = FormatLastErrorText(buffer, bufferSize);
    FUZZ_CHECK(result == buffer);

    std::string expected;
    bool written = true;
    if (n == 0 || bufferSize < n + 14) {
        written = bufferSize > 0;  // the empty text, when there is room for it
    } else {
        std::size_t length = std::strlen(text.c_str());
        expected = text.substr(0, length >= 2 ? length - 2 : 0);
        char number[16];
        std::snprintf(number, sizeof number, " (0x%x)", static_cast<unsigned>(code));
        expected += number;
    }
    if (written) {
        FUZZ_CHECK(expected.size() + 1 <= allocated);
        FUZZ_CHECK(std::memcmp(buffer, expected.c_str(), expected.size() + 1) == 0);
        for (std::size_t i = expected.size() + 1; i < allocated; ++i) {
            FUZZ_CHECK(buffer[i] == kGuard);
        }
    } else {
        FUZZ_CHECK(buffer[0] == kGuard);
    }
    delete[] buffer;

    // The system's block, when one was taken, is given back, and nothing
    // that is not one is handed to LocalFree.
    FUZZ_CHECK(standin::LiveTextBlockCount() == 0);
    FUZZ_CHECK(standin::StrayLocalFreeCount() == straysBefore);
    FUZZ_CHECK(standin::TextBlocksAllocated() - blocksBefore <= 1);
    return 0;
}
