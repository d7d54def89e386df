// Placeholder until the heap stand-in lands.
#include "platform/standin/calls.h"
HANDLE GetProcessHeap() { if (standin::EnterCall(standin::Call::GetProcessHeap)) return NULL; return NULL; }
LPVOID HeapAlloc(HANDLE, DWORD, SIZE_T) { if (standin::EnterCall(standin::Call::HeapAlloc)) return NULL; return NULL; }
BOOL HeapFree(HANDLE, DWORD, LPVOID) { if (standin::EnterCall(standin::Call::HeapFree)) return FALSE; return FALSE; }
