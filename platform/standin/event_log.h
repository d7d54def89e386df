// Stand-in for the system event log: event sources and the entries written
// through them, kept for tests to read.
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace standin {

// One RegisterEventSourceA call that succeeded.
struct EventSourceRecord {
    std::optional<std::string> serverName;  // none: the local computer
    std::string sourceName;
    HANDLE handle;
};

// One ReportEventA call through an open source.
struct EventLogEntry {
    HANDLE source;
    std::string sourceName;  // under which the source was registered
    WORD type;
    WORD category;
    DWORD eventId;
    PSID userSid;
    std::vector<std::string> strings;  // copied at the call
    DWORD dataSize;
    LPVOID data;
    std::thread::id threadId;
};

std::vector<EventSourceRecord> EventSources();
std::vector<EventLogEntry> EventLogEntries();

// Forgets the recorded sources and entries (open sources stay open).
void ClearEventLog();

}  // namespace standin
