// The error text that a console message ends with, built independently of
// the product from the stand-in's system text for the code.
#pragma once

#include "platform/standin/system_text.h"

#include <cstdio>
#include <string>

inline std::string ExpectedErrorText(DWORD code)
{
    std::string text = standin::SystemText(code);
    if (text.empty() || text.size() + 14 > 256) {
        return "";
    }
    char number[16];
    std::snprintf(number, sizeof number, " (0x%x)", static_cast<unsigned>(code));
    return text.substr(0, text.size() - 2) + number;
}
