// Placeholder until the service database stand-in lands.
#include "platform/standin/calls.h"
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) { return NULL; }
SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR) { return NULL; }
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { return NULL; }
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return FALSE; }
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return FALSE; }
BOOL DeleteService(SC_HANDLE) { return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE) { return FALSE; }
