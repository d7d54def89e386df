// Placeholder until the system text and process stand-in lands.
#include "platform/standin/calls.h"
DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) { if (standin::EnterCall(standin::Call::FormatMessageA)) return 0; return 0; }
HLOCAL LocalFree(HLOCAL) { if (standin::EnterCall(standin::Call::LocalFree)) return NULL; return NULL; }
int lstrlenA(LPCSTR) { return 0; }
DWORD GetModuleFileNameA(HMODULE, LPSTR, DWORD) { if (standin::EnterCall(standin::Call::GetModuleFileNameA)) return 0; return 0; }
VOID Sleep(DWORD) {}
