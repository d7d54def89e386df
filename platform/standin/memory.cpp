// Placeholder until the heap stand-in lands.
#include "platform/standin/calls.h"
HANDLE GetProcessHeap() { return NULL; }
LPVOID HeapAlloc(HANDLE, DWORD, SIZE_T) { return NULL; }
BOOL HeapFree(HANDLE, DWORD, LPVOID) { return FALSE; }
