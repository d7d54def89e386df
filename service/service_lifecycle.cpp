#include "service/service_lifecycle.h"

#include "display/selection_restore.h"
#include "service/service_names.h"
#include "service/status_report.h"

namespace {

constexpr DWORD kStartWaitHint = 3000;

// Guards g_stopEvent and g_stopRequested. The service thread creates and closes
// the event, the dispatcher thread sets it: the lock keeps SetEvent off a
// handle that is being closed.
SRWLOCK g_stopEventLock = SRWLOCK_INIT;

// The manual-reset stop event; exists from its creation in the work loop to
// its close at the loop's end, null before and after.
HANDLE g_stopEvent;

// A stop that found no event yet. The SCM has been told stop-pending and will
// not ask again, so the work loop starts with the event set.
BOOL g_stopRequested;

HANDLE CreateStopEvent()
{
    AcquireSRWLockExclusive(&g_stopEventLock);
    g_stopEvent = CreateEventA(NULL, TRUE, g_stopRequested, NULL);
    HANDLE stopEvent = g_stopEvent;
    ReleaseSRWLockExclusive(&g_stopEventLock);
    return stopEvent;
}

void CloseStopEvent()
{
    AcquireSRWLockExclusive(&g_stopEventLock);
    CloseHandle(g_stopEvent);
    g_stopEvent = NULL;
    ReleaseSRWLockExclusive(&g_stopEventLock);
}

}  // namespace

VOID WINAPI ServiceEntryProc(DWORD argc, LPSTR* argv)
{
    SERVICE_STATUS_HANDLE statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ServiceControlHandler, NULL);
    if (statusHandle == 0) {
        return;
    }
    BeginServiceStatus(statusHandle);
    if (ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint)) {
        ServiceWorkLoop(argc, argv);
    }
    ReportServiceStatus(SERVICE_STOPPED, LastLoggedError(), 0);
}

void ServiceWorkLoop(DWORD, LPSTR*)
{
    if (!ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint)) {
        return;
    }
    // The event is waited on outside the lock; only this thread closes it.
    HANDLE stopEvent = CreateStopEvent();
    if (stopEvent == NULL) {
        return;
    }
    if (ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint)) {
        RestoreDisplaySelection();
        if (ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0)) {
            WaitForSingleObject(stopEvent, INFINITE);
        }
    }
    CloseStopEvent();
}

DWORD WINAPI ServiceControlHandler(DWORD dwControl, DWORD dwEventType, LPVOID, LPVOID)
{
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
        SignalServiceStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportCurrentServiceStatus();
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        if (dwEventType == PBT_APMRESUMESUSPEND) {
            RestoreDisplaySelection();
        }
        return NO_ERROR;
    default:
        ReportCurrentServiceStatus();
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void SignalServiceStop()
{
    AcquireSRWLockExclusive(&g_stopEventLock);
    if (g_stopEvent != NULL) {
        SetEvent(g_stopEvent);
    } else {
        g_stopRequested = TRUE;
    }
    ReleaseSRWLockExclusive(&g_stopEventLock);
}
