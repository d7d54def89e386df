#include "platform/standin/system_text.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace standin {
namespace {

// The system's own English texts for the codes the service and its tests meet.
std::map<DWORD, std::string> SystemTexts()
{
    return {
        {0, "The operation completed successfully.\r\n"},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {kErrorModuleNotFound, "The specified module could not be found.\r\n"},
        {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service.\r\n"},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time.\r\n"},
        {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started.\r\n"},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
         "The service process could not connect to the service controller.\r\n"},
        {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion.\r\n"},
        {ERROR_SERVICE_EXISTS, "The specified service already exists.\r\n"},
    };
}

std::mutex g_mutex;
std::map<DWORD, std::string> g_texts = SystemTexts();
std::set<void*> g_liveBlocks;
std::size_t g_blocksAllocated = 0;
std::size_t g_strayFrees = 0;
std::vector<FormatMessageCall> g_formatCalls;
std::vector<HLOCAL> g_localFrees;
std::string g_modulePath = "C:\\Program Files\\Quorvale\\Quorvale.exe";
std::vector<ModuleFileNameCall> g_moduleCalls;
std::vector<DWORD> g_sleeps;
std::uint64_t g_virtualTime = 0;

}  // namespace

void SetSystemText(DWORD code, const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_texts[code] = text;
}

void RemoveSystemText(DWORD code)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_texts.erase(code);
}

std::string SystemText(DWORD code)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_texts.find(code);
    return found == g_texts.end() ? std::string() : found->second;
}

std::vector<FormatMessageCall> FormatMessageCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_formatCalls;
}

std::size_t LiveTextBlockCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_liveBlocks.size();
}

std::size_t TextBlocksAllocated()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_blocksAllocated;
}

std::size_t StrayLocalFreeCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_strayFrees;
}

std::vector<HLOCAL> LocalFreeCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_localFrees;
}

void SetModulePath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_modulePath = path;
}

std::vector<ModuleFileNameCall> ModuleFileNameCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_moduleCalls;
}

std::vector<DWORD> Sleeps()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_sleeps;
}

std::uint64_t VirtualTime()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_virtualTime;
}

void ClearSystemTextRecords()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_formatCalls.clear();
    g_localFrees.clear();
    g_moduleCalls.clear();
    g_sleeps.clear();
}

}  // namespace standin

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments)
{
    standin::FormatMessageCall call{dwFlags, lpSource,          dwMessageId, dwLanguageId, lpBuffer,
                                    nSize,   Arguments != nullptr, 0};
    auto record = [&call] {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_formatCalls.push_back(call);
    };
    if (standin::EnterCall(standin::Call::FormatMessageA)) {
        record();
        return 0;
    }
    constexpr DWORD kKnownFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    constexpr DWORD kNeededFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
    if ((dwFlags & kNeededFlags) != kNeededFlags || (dwFlags & ~kKnownFlags) != 0 || dwLanguageId != 0 ||
        lpBuffer == nullptr) {
        record();
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER lpBuffer is really an LPSTR* that
    // receives the system's block.
    LPSTR* block = reinterpret_cast<LPSTR*>(lpBuffer);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        auto found = standin::g_texts.find(dwMessageId);
        if (found == standin::g_texts.end()) {
            standin::g_formatCalls.push_back(call);
            SetLastError(standin::kErrorMessageNotFound);
            return 0;
        }
        text = found->second;
    }
    // Exactly the text and its NUL, so that a write before or past the text
    // lands outside the block.
    auto* memory = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(memory, text.c_str(), text.size() + 1);
    *block = memory;
    call.returned = static_cast<DWORD>(text.size());
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_liveBlocks.insert(memory);
        ++standin::g_blocksAllocated;
    }
    record();
    return call.returned;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_localFrees.push_back(hMem);
    }
    if (standin::EnterCall(standin::Call::LocalFree)) {
        return hMem;
    }
    if (hMem == nullptr) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        if (standin::g_liveBlocks.erase(hMem) == 0) {
            ++standin::g_strayFrees;
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
    }
    std::free(hMem);
    return nullptr;
}

int lstrlenA(LPCSTR lpString)
{
    if (lpString == nullptr) {
        return 0;
    }
    return static_cast<int>(std::strlen(lpString));
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    standin::ModuleFileNameCall call{hModule, nSize, 0};
    auto record = [&call] {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_moduleCalls.push_back(call);
    };
    if (standin::EnterCall(standin::Call::GetModuleFileNameA)) {
        record();
        return 0;
    }
    if (hModule != nullptr) {
        record();
        SetLastError(standin::kErrorModuleNotFound);
        return 0;
    }
    if (nSize == 0 || lpFilename == nullptr) {
        record();
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::string path;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        path = standin::g_modulePath;
    }
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.c_str(), path.size() + 1);
        call.returned = static_cast<DWORD>(path.size());
    } else {
        // Cut short: as much as fits, still NUL-terminated, and the full
        // buffer size as the result.
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        call.returned = nSize;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    record();
    return call.returned;
}

VOID Sleep(DWORD dwMilliseconds)
{
    standin::EnterCall(standin::Call::Sleep);
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_sleeps.push_back(dwMilliseconds);
        standin::g_virtualTime += dwMilliseconds;
    }
    // Other threads still get their turn, as a real Sleep would give it.
    std::this_thread::yield();
}
