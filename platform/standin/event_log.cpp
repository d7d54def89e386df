#include "platform/standin/event_log.h"

#include "platform/standin/calls.h"

#include <mutex>

namespace standin {
namespace {

struct Source {
    std::string name;
};

std::mutex g_mutex;
std::vector<EventSourceRecord> g_sources;
std::vector<EventLogEntry> g_entries;

void DeleteSource(HANDLE, void* object)
{
    delete static_cast<Source*>(object);
}

}  // namespace

std::vector<EventSourceRecord> EventSources()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_sources;
}

std::vector<EventLogEntry> EventLogEntries()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_entries;
}

void ClearEventLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sources.clear();
    g_entries.clear();
}

}  // namespace standin

using namespace standin;

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    if (EnterCall(Call::RegisterEventSourceA)) {
        return NULL;
    }
    if (lpSourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HANDLE handle = OpenHandle(HandleKind::EventSource, new Source{lpSourceName}, DeleteSource);
    EventSourceRecord record;
    if (lpUNCServerName != nullptr) {
        record.serverName = lpUNCServerName;
    }
    record.sourceName = lpSourceName;
    record.handle = handle;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sources.push_back(record);
    return handle;
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData)
{
    if (EnterCall(Call::ReportEventA)) {
        return FALSE;
    }
    auto* source = static_cast<Source*>(FindHandle(hEventLog, HandleKind::EventSource));
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (wNumStrings > 0 && lpStrings == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EventLogEntry entry;
    entry.source = hEventLog;
    entry.sourceName = source->name;
    entry.type = wType;
    entry.category = wCategory;
    entry.eventId = dwEventID;
    entry.userSid = lpUserSid;
    for (WORD i = 0; i < wNumStrings; ++i) {
        entry.strings.push_back(lpStrings[i] != nullptr ? lpStrings[i] : "");
    }
    entry.dataSize = dwDataSize;
    entry.data = lpRawData;
    entry.threadId = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.push_back(std::move(entry));
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog)
{
    if (EnterCall(Call::DeregisterEventSource)) {
        return FALSE;
    }
    if (!CloseHandleOf(hEventLog, HandleKind::EventSource)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
