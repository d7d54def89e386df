/*
 * A bare service for comparison with Quorvale in the start-latency figures:
 * it registers its handler, reports RUNNING at once and waits for STOP. No
 * pending reports, no device work.
 */
#include <windows.h>

static SERVICE_STATUS_HANDLE g_handle; /* written once by ServiceMain before any report */
static SERVICE_STATUS g_status;        /* service thread until RUNNING, then handler thread */
static HANDLE g_stop;                  /* created by ServiceMain before RUNNING, set by handler */

static void Report(DWORD state)
{
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_handle, &g_status);
}

static DWORD WINAPI Handler(DWORD control, DWORD type, void *data, void *context)
{
    (void)type;
    (void)data;
    (void)context;
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI ServiceMain(DWORD argc, char **argv)
{
    (void)argc;
    (void)argv;
    g_handle = RegisterServiceCtrlHandlerExA("MinimalService", Handler, NULL);
    if (g_handle == NULL) {
        return;
    }
    g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    CloseHandle(g_stop);
    Report(SERVICE_STOPPED);
}

int main(void)
{
    SERVICE_TABLE_ENTRYA table[] = {{(char *)"MinimalService", ServiceMain}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
