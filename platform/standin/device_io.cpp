// Placeholder until the device I/O stand-in lands.
#include "platform/standin/calls.h"
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) { if (standin::EnterCall(standin::Call::CreateFileA)) return INVALID_HANDLE_VALUE; SetLastError(ERROR_FILE_NOT_FOUND); return INVALID_HANDLE_VALUE; }
BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) { if (standin::EnterCall(standin::Call::DeviceIoControl)) return FALSE; return FALSE; }
