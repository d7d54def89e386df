// Placeholder until the service database stand-in lands.
#include "platform/standin/calls.h"
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) { if (standin::EnterCall(standin::Call::OpenSCManagerA)) return NULL; return NULL; }
SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR) { if (standin::EnterCall(standin::Call::CreateServiceA)) return NULL; return NULL; }
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { if (standin::EnterCall(standin::Call::OpenServiceA)) return NULL; return NULL; }
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { if (standin::EnterCall(standin::Call::ControlService)) return FALSE; return FALSE; }
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { if (standin::EnterCall(standin::Call::QueryServiceStatus)) return FALSE; return FALSE; }
BOOL DeleteService(SC_HANDLE) { if (standin::EnterCall(standin::Call::DeleteService)) return FALSE; return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE) { if (standin::EnterCall(standin::Call::CloseServiceHandle)) return FALSE; return FALSE; }
