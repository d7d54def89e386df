// Placeholder until the service control stand-in lands.
#include "platform/standin/calls.h"
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) { if (standin::EnterCall(standin::Call::StartServiceCtrlDispatcherA)) return FALSE; SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT); return FALSE; }
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID) { if (standin::EnterCall(standin::Call::RegisterServiceCtrlHandlerExA)) return 0; return 0; }
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { if (standin::EnterCall(standin::Call::SetServiceStatus)) return FALSE; return FALSE; }
