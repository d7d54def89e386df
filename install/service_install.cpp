#include "install/service_install.h"

#include "service/service_names.h"
#include "service/status_report.h"

#include <stdio.h>

namespace {

constexpr DWORD kModulePathSize = 512;
constexpr DWORD kStopPollInterval = 1000;

// Every failure message formats its error text here just before it prints.
char g_errorText[256];

// A list of service names that holds only its terminating empty string.
constexpr char kNoDependencies[] = "";

LPCSTR LastErrorText()
{
    return FormatLastErrorText(g_errorText, static_cast<int>(sizeof g_errorText));
}

// The program's own path, enclosed in double quotes so that the SCM cannot
// read a path with blanks as a shorter program followed by arguments. False
// when the path is not to be had whole.
BOOL GetQuotedModulePath(char (&path)[kModulePathSize])
{
    // Room for the two quotes: the name goes in at path + 1 and may take up
    // to kModulePathSize - 3 characters and its NUL.
    DWORD room = kModulePathSize - 2;
    DWORD length = GetModuleFileNameA(NULL, path + 1, room);
    if (length == 0) {
        return FALSE;
    }
    if (length >= room) {
        // Cut short: the name would register a program other than this one.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    path[0] = '"';
    path[length + 1] = '"';
    path[length + 2] = '\0';
    return TRUE;
}

}  // namespace

void InstallService()
{
    char modulePath[kModulePathSize];
    if (!GetQuotedModulePath(modulePath)) {
        printf("Unable to install %s - %s\n", kDisplayName, LastErrorText());
        return;
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        printf("OpenSCManager failed - %s\n", LastErrorText());
        return;
    }
    SC_HANDLE service = CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       modulePath, NULL, NULL, kNoDependencies, NULL, NULL);
    if (service != NULL) {
        printf("%s installed.\n", kDisplayName);
        CloseServiceHandle(service);
    } else {
        printf("CreateService failed - %s\n", LastErrorText());
    }
    CloseServiceHandle(manager);
}

void RemoveService()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        printf("OpenSCManager failed - %s\n", LastErrorText());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        printf("OpenService failed - %s\n", LastErrorText());
        CloseServiceHandle(manager);
        return;
    }
    // A service that does not take the stop (it is not running, say) is
    // deleted all the same, without a word about the stop.
    if (ControlService(service, SERVICE_CONTROL_STOP, &g_serviceStatus)) {
        printf("Stopping %s.", kDisplayName);
        Sleep(kStopPollInterval);
        while (QueryServiceStatus(service, &g_serviceStatus) &&
               g_serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
            printf(".");
            Sleep(kStopPollInterval);
        }
        if (g_serviceStatus.dwCurrentState == SERVICE_STOPPED) {
            printf("\n%s stopped.\n", kDisplayName);
        } else {
            printf("\n%s failed to stop.\n", kDisplayName);
        }
    }
    if (DeleteService(service)) {
        printf("%s removed.\n", kDisplayName);
    } else {
        printf("DeleteService failed - %s\n", LastErrorText());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

LPSTR FormatLastErrorText(LPSTR buffer, int size)
{
    // Read once: the code shown is the code whose text is shown.
    DWORD error = GetLastError();
    LPSTR text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  NULL, error, 0, reinterpret_cast<LPSTR>(&text), 0, NULL);
    // The text loses two characters and gains at most 14 with its code, so
    // n + 14 bytes always hold it.
    if (length == 0 || static_cast<long long>(size) < static_cast<long long>(length) + 14) {
        if (size > 0) {
            buffer[0] = '\0';
        }
    } else {
        // Drop the carriage return and line feed that end a system text.
        int textLength = lstrlenA(text);
        text[textLength >= 2 ? textLength - 2 : 0] = '\0';
        (void)snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)", text, static_cast<unsigned>(error));
    }
    if (text != NULL) {
        LocalFree(text);
    }
    return buffer;
}
