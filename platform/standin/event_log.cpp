// Placeholder until the event log stand-in lands.
#include "platform/standin/calls.h"
HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) { if (standin::EnterCall(standin::Call::RegisterEventSourceA)) return NULL; return NULL; }
BOOL ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) { if (standin::EnterCall(standin::Call::ReportEventA)) return FALSE; return FALSE; }
BOOL DeregisterEventSource(HANDLE) { if (standin::EnterCall(standin::Call::DeregisterEventSource)) return FALSE; return FALSE; }
