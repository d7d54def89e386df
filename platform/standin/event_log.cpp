// Placeholder until the event log stand-in lands.
#include "platform/standin/calls.h"
HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) { return NULL; }
BOOL ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) { return FALSE; }
BOOL DeregisterEventSource(HANDLE) { return FALSE; }
