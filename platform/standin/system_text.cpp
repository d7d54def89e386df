// Placeholder until the system text and process stand-in lands.
#include "platform/standin/calls.h"
DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) { return 0; }
HLOCAL LocalFree(HLOCAL) { return NULL; }
int lstrlenA(LPCSTR) { return 0; }
DWORD GetModuleFileNameA(HMODULE, LPSTR, DWORD) { return 0; }
VOID Sleep(DWORD) {}
