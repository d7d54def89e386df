// Stand-in for the system's error texts (FormatMessageA, LocalFree, lstrlenA),
// the program's own path (GetModuleFileNameA) and Sleep.
//
// FormatMessageA serves the English texts Windows gives for the error codes
// the service meets, each ending in "\r\n" as the system's do; tests may set
// a text of any content for any code. Every allocated text block is counted
// until LocalFree releases it. Sleep runs a virtual clock: it records each
// pause and returns at once, so the remove command's one-second polls cost no
// time. FormatMessageA, LocalFree, GetModuleFileNameA and Sleep go through
// EnterCall (planned failures, the call hook); lstrlenA is not logged.
#pragma once

#include "platform/standin/calls.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// --- System texts --------------------------------------------------------------

// The text FormatMessageA gives for `code`, replacing the system's own; any
// content, the empty text included (see FormatMessageA below).
void SetSystemText(DWORD code, const std::string& text);

// No text at all for `code`: FormatMessageA fails with
// ERROR_MR_MID_NOT_FOUND (317).
void RemoveSystemText(DWORD code);

// The text that FormatMessageA would give for `code`, "\r\n" included; empty
// when there is none.
std::string SystemText(DWORD code);

constexpr DWORD kErrorMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

// The arguments of one FormatMessageA call.
struct FormatMessageCall {
    DWORD flags;
    LPCVOID source;
    DWORD messageId;
    DWORD languageId;
    LPSTR buffer;  // with FORMAT_MESSAGE_ALLOCATE_BUFFER: where the block pointer went
    DWORD size;
    bool argumentsGiven;
    DWORD returned;
};

// Answered only with FORMAT_MESSAGE_ALLOCATE_BUFFER and
// FORMAT_MESSAGE_FROM_SYSTEM, language 0 and a non-null lpBuffer, which is
// taken as the LPSTR* that receives the block; FORMAT_MESSAGE_ARGUMENT_ARRAY
// is accepted (the texts have no inserts). Anything else fails with
// ERROR_INVALID_PARAMETER. An empty text gets a block holding only its NUL
// and the count 0, so that a caller that sees "no text" still has a block to
// release.
std::vector<FormatMessageCall> FormatMessageCalls();

// Text blocks allocated by FormatMessageA and not yet released.
std::size_t LiveTextBlockCount();
// Every text block FormatMessageA allocated.
std::size_t TextBlocksAllocated();
// LocalFree calls with a pointer that is no live text block (null excluded);
// each fails with ERROR_INVALID_HANDLE, as LocalFree does.
std::size_t StrayLocalFreeCount();
// Every LocalFree call's argument, in order.
std::vector<HLOCAL> LocalFreeCalls();

// --- The program's own path ------------------------------------------------------

// The full path GetModuleFileNameA gives for the program (hModule null).
// The default is "C:\Program Files\Quorvale\Quorvale.exe".
void SetModulePath(const std::string& path);

// GetModuleFileNameA behaves as on Windows: a path that fits is copied with
// its NUL and its length returned; one that does not has nSize - 1 characters
// and a NUL copied, nSize returned and ERROR_INSUFFICIENT_BUFFER set. A module
// handle other than null fails with ERROR_MOD_NOT_FOUND; failing on demand is
// FailCall(Call::GetModuleFileNameA, error).
struct ModuleFileNameCall {
    HMODULE module;
    DWORD size;
    DWORD returned;
};
std::vector<ModuleFileNameCall> ModuleFileNameCalls();

constexpr DWORD kErrorModuleNotFound = 126;  // ERROR_MOD_NOT_FOUND

// --- Sleep -----------------------------------------------------------------------

// The milliseconds of every Sleep, in order.
std::vector<DWORD> Sleeps();
// The sum of every Sleep so far, in milliseconds.
std::uint64_t VirtualTime();

// Drops the records of FormatMessageA, LocalFree, GetModuleFileNameA and
// Sleep calls (not the texts, the live blocks or the virtual time): for long
// runs in one process, such as a fuzz target.
void ClearSystemTextRecords();

}  // namespace standin
