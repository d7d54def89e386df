#include "service/status_report.h"

#include "service/service_names.h"

#include <stdio.h>

SERVICE_STATUS g_serviceStatus;

namespace {

constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;

// Guards g_serviceStatus, the status handle, the checkpoint counter and the
// last logged error: each report, from either thread, is made whole under it.
SRWLOCK g_statusLock = SRWLOCK_INIT;

// Written once by the service thread before the first report.
SERVICE_STATUS_HANDLE g_statusHandle;

// The checkpoint of the next pending report; nothing resets it.
DWORD g_nextCheckPoint = 1;

// Written by every LogServiceError; the exit code of the stopped report.
DWORD g_lastLoggedError;

// Called with g_statusLock held. Reads the last error before any other call.
void LogErrorLocked(LPCSTR message)
{
    g_lastLoggedError = GetLastError();
    HANDLE source = RegisterEventSourceA(NULL, kServiceName);
    char text[256];
    // At most 35 bytes: never cut.
    (void)snprintf(text, sizeof text, "%s error: %d", kServiceName, static_cast<int>(g_lastLoggedError));
    if (source == NULL) {
        return;
    }
    LPCSTR strings[2] = {text, message};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, NULL, 2, 0, strings, NULL);
    DeregisterEventSource(source);
}

// Called with g_statusLock held.
BOOL ReportLocked(DWORD state, DWORD exitCode, DWORD waitHint)
{
    g_serviceStatus.dwControlsAccepted = kControlsAccepted;
    g_serviceStatus.dwCurrentState = state;
    g_serviceStatus.dwWin32ExitCode = exitCode;
    g_serviceStatus.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        g_serviceStatus.dwCheckPoint = 0;
    } else {
        g_serviceStatus.dwCheckPoint = g_nextCheckPoint++;
    }
    BOOL taken = SetServiceStatus(g_statusHandle, &g_serviceStatus);
    if (!taken) {
        LogErrorLocked("SetServiceStatus");
    }
    return taken;
}

}  // namespace

void BeginServiceStatus(SERVICE_STATUS_HANDLE statusHandle)
{
    AcquireSRWLockExclusive(&g_statusLock);
    g_statusHandle = statusHandle;
    g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    ReleaseSRWLockExclusive(&g_statusLock);
}

BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    AcquireSRWLockExclusive(&g_statusLock);
    BOOL taken = ReportLocked(state, exitCode, waitHint);
    ReleaseSRWLockExclusive(&g_statusLock);
    return taken;
}

BOOL ReportCurrentServiceStatus()
{
    AcquireSRWLockExclusive(&g_statusLock);
    BOOL taken = ReportLocked(g_serviceStatus.dwCurrentState, NO_ERROR, 0);
    ReleaseSRWLockExclusive(&g_statusLock);
    return taken;
}

DWORD LastLoggedError()
{
    AcquireSRWLockExclusive(&g_statusLock);
    DWORD error = g_lastLoggedError;
    ReleaseSRWLockExclusive(&g_statusLock);
    return error;
}

void LogServiceError(LPCSTR message)
{
    AcquireSRWLockExclusive(&g_statusLock);
    LogErrorLocked(message);
    ReleaseSRWLockExclusive(&g_statusLock);
}
