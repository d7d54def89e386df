/*
 * tvaltool: the Windows-side helper of the end-to-end scripts.
 *
 * It sets and reads the state of the stand-in driver through \\.\TVALCTL,
 * dumps the driver's request record as plain lines, sends device requests of
 * its own, and drives services through the SCM (control, status, wait, start,
 * driver registration). Every subcommand prints plain "key=value" text on
 * standard output and ends with exit status 0 on success, 1 on failure and
 * 2 on a usage error, so the shell scripts can parse and branch on it.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tvalctl.h"

static int Usage(void)
{
    fprintf(stderr,
            "usage: tvaltool state\n"
            "       tvaltool set [active=N] [target=N] [reply20=N] [reply22=N]\n"
            "                    [dabsent=0|1] [gabsent=0|1] [dfail=0|1] [gfail=0|1]\n"
            "       tvaltool record | clear\n"
            "       tvaltool send DEVICE CODE OUTLEN [WORD...]\n"
            "       tvaltool control SERVICE CODE\n"
            "       tvaltool status SERVICE\n"
            "       tvaltool wait SERVICE STATE TIMEOUT_MS\n"
            "       tvaltool start SERVICE TIMEOUT_MS\n"
            "       tvaltool create-driver NAME PATH\n"
            "       tvaltool log SOURCE TEXT...\n");
    return 2;
}

static unsigned long ParseNumber(const char *text)
{
    return strtoul(text, NULL, 0);
}

/* ---- the driver's control device ---- */

static BOOL CallControlDevice(DWORD code, void *in, DWORD in_len, void *out, DWORD out_len)
{
    DWORD returned = 0;
    HANDLE h = CreateFileA("\\\\.\\TVALCTL", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                           OPEN_EXISTING, 0, NULL);
    BOOL ok;

    if (h == INVALID_HANDLE_VALUE) {
        printf("error=cannot open TVALCTL (%lu)\n", GetLastError());
        return FALSE;
    }
    ok = DeviceIoControl(h, code, in, in_len, out, out_len, &returned, NULL);
    if (!ok) {
        printf("error=TVALCTL request 0x%lx failed (%lu)\n", code, GetLastError());
    }
    CloseHandle(h);
    return ok;
}

static void PrintState(const struct TvalState *s)
{
    printf("active=%u target=%u reply20=%u reply22=%u dabsent=%u gabsent=%u dfail=%u gfail=%u\n",
           s->active, s->target_index, s->reply20, s->reply22,
           (s->flags & TVAL_FLAG_D_ABSENT) != 0, (s->flags & TVAL_FLAG_G_ABSENT) != 0,
           (s->flags & TVAL_FLAG_D_FAIL) != 0, (s->flags & TVAL_FLAG_G_FAIL) != 0);
}

static int CmdState(void)
{
    struct TvalState s;

    if (!CallControlDevice(TVALCTL_GET_STATE, NULL, 0, &s, sizeof(s))) {
        return 1;
    }
    PrintState(&s);
    return 0;
}

static void SetFlag(unsigned int *flags, unsigned int bit, unsigned long on)
{
    *flags = on ? (*flags | bit) : (*flags & ~bit);
}

static int ApplySetting(struct TvalState *s, const char *arg)
{
    static const struct {
        const char *key;
        unsigned int flag;
    } k_flags[] = {{"dabsent", TVAL_FLAG_D_ABSENT},
                   {"gabsent", TVAL_FLAG_G_ABSENT},
                   {"dfail", TVAL_FLAG_D_FAIL},
                   {"gfail", TVAL_FLAG_G_FAIL}};
    const char *eq = strchr(arg, '=');
    size_t key_len;
    unsigned long value;
    size_t i;

    if (eq == NULL) {
        return 0;
    }
    key_len = (size_t)(eq - arg);
    value = ParseNumber(eq + 1);
    if (key_len == 6 && strncmp(arg, "active", 6) == 0) {
        s->active = (unsigned int)value;
        return 1;
    }
    if (key_len == 6 && strncmp(arg, "target", 6) == 0) {
        s->target_index = (unsigned int)value;
        return 1;
    }
    if (key_len == 7 && strncmp(arg, "reply20", 7) == 0) {
        s->reply20 = (unsigned int)value;
        return 1;
    }
    if (key_len == 7 && strncmp(arg, "reply22", 7) == 0) {
        s->reply22 = (unsigned int)value;
        return 1;
    }
    for (i = 0; i < sizeof(k_flags) / sizeof(k_flags[0]); i++) {
        if (strlen(k_flags[i].key) == key_len && strncmp(arg, k_flags[i].key, key_len) == 0) {
            SetFlag(&s->flags, k_flags[i].flag, value);
            return 1;
        }
    }
    return 0;
}

static int CmdSet(int argc, char **argv)
{
    struct TvalState s;
    int i;

    if (!CallControlDevice(TVALCTL_GET_STATE, NULL, 0, &s, sizeof(s))) {
        return 1;
    }
    for (i = 0; i < argc; i++) {
        if (!ApplySetting(&s, argv[i])) {
            fprintf(stderr, "tvaltool: unknown setting %s\n", argv[i]);
            return 2;
        }
    }
    if (!CallControlDevice(TVALCTL_SET_STATE, &s, sizeof(s), NULL, 0)) {
        return 1;
    }
    PrintState(&s);
    return 0;
}

static void PrintWords(const unsigned char *data, unsigned int len)
{
    unsigned int i;

    for (i = 0; i + 4 <= len; i += 4) {
        printf(" %08x", (unsigned int)data[i] | ((unsigned int)data[i + 1] << 8) |
                            ((unsigned int)data[i + 2] << 16) | ((unsigned int)data[i + 3] << 24));
    }
}

static int CmdRecord(void)
{
    static struct TvalRecord record;
    unsigned int i;

    if (!CallControlDevice(TVALCTL_GET_RECORD, NULL, 0, &record, sizeof(record))) {
        return 1;
    }
    for (i = 0; i < record.count && i < TVAL_RECORD_ENTRIES; i++) {
        const struct TvalEntry *e = &record.entries[i];
        const char *dev = e->device == TVAL_DEV_D ? "TVALD" : "TVALG";
        if (e->kind == TVAL_REQ_CREATE) {
            printf("%s open share=0x%x\n", dev, e->in_len);
        } else if (e->kind == TVAL_REQ_CLOSE) {
            printf("%s close\n", dev);
        } else {
            printf("%s ioctl 0x%x in=%u out=%u", dev, e->code, e->in_len, e->out_len);
            PrintWords(e->data, e->in_len < TVAL_RECORD_DATA ? e->in_len : TVAL_RECORD_DATA);
            printf("\n");
        }
    }
    printf("end count=%u dropped=%u\n", record.count, record.dropped);
    return 0;
}

static int CmdClear(void)
{
    return CallControlDevice(TVALCTL_CLEAR_RECORD, NULL, 0, NULL, 0) ? 0 : 1;
}

/* ---- plain device requests, as any client would send them ---- */

static int CmdSend(int argc, char **argv)
{
    unsigned char in[64];
    unsigned char out[64];
    char path[64];
    DWORD in_len = 0;
    DWORD out_len;
    DWORD returned = 0;
    DWORD code;
    HANDLE h;
    BOOL ok;
    int i;

    if (argc < 3 || argc - 3 > (int)(sizeof(in) / 4)) {
        return Usage();
    }
    code = ParseNumber(argv[1]);
    out_len = ParseNumber(argv[2]);
    if (out_len > sizeof(out)) {
        return Usage();
    }
    for (i = 3; i < argc; i++) {
        unsigned long w = ParseNumber(argv[i]);
        in[in_len++] = (unsigned char)w;
        in[in_len++] = (unsigned char)(w >> 8);
        in[in_len++] = (unsigned char)(w >> 16);
        in[in_len++] = (unsigned char)(w >> 24);
    }
    memset(out, 0xcc, sizeof(out));
    snprintf(path, sizeof(path), "\\\\.\\%s", argv[0]);
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("open=fail error=%lu\n", GetLastError());
        return 1;
    }
    ok = DeviceIoControl(h, code, in, in_len, out, out_len, &returned, NULL);
    printf("open=ok result=%d error=%lu returned=%lu out=", ok ? 1 : 0, ok ? 0 : GetLastError(),
           returned);
    PrintWords(out, returned);
    printf("\n");
    CloseHandle(h);
    return ok ? 0 : 1;
}

/* ---- the service manager ---- */

static SC_HANDLE OpenNamedService(const char *name, SC_HANDLE *manager)
{
    SC_HANDLE service;

    *manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (*manager == NULL) {
        printf("error=OpenSCManager %lu\n", GetLastError());
        return NULL;
    }
    service = OpenServiceA(*manager, name, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        printf("error=OpenService %lu\n", GetLastError());
        CloseServiceHandle(*manager);
    }
    return service;
}

static void PrintStatus(const SERVICE_STATUS *st)
{
    printf("state=%lu exit=%lu specific=%lu checkpoint=%lu wait=%lu controls=0x%lx",
           st->dwCurrentState, st->dwWin32ExitCode, st->dwServiceSpecificExitCode,
           st->dwCheckPoint, st->dwWaitHint, st->dwControlsAccepted);
}

static int CmdControl(const char *name, const char *code_text)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    SERVICE_STATUS st;
    BOOL ok;

    if (service == NULL) {
        return 1;
    }
    memset(&st, 0, sizeof(st));
    ok = ControlService(service, ParseNumber(code_text), &st);
    printf("result=%d error=%lu ", ok ? 1 : 0, ok ? 0 : GetLastError());
    PrintStatus(&st);
    printf("\n");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

static BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS *sp)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)sp, sizeof(*sp),
                                &needed);
}

static void PrintStatusProcess(const SERVICE_STATUS_PROCESS *sp)
{
    SERVICE_STATUS st;
    st.dwServiceType = sp->dwServiceType;
    st.dwCurrentState = sp->dwCurrentState;
    st.dwControlsAccepted = sp->dwControlsAccepted;
    st.dwWin32ExitCode = sp->dwWin32ExitCode;
    st.dwServiceSpecificExitCode = sp->dwServiceSpecificExitCode;
    st.dwCheckPoint = sp->dwCheckPoint;
    st.dwWaitHint = sp->dwWaitHint;
    PrintStatus(&st);
    printf(" pid=%lu\n", sp->dwProcessId);
}

static int CmdStatus(const char *name)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    SERVICE_STATUS_PROCESS sp;
    int rc = 0;

    if (service == NULL) {
        return 1;
    }
    if (QueryStatus(service, &sp)) {
        PrintStatusProcess(&sp);
    } else {
        printf("error=QueryServiceStatusEx %lu\n", GetLastError());
        rc = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

static double ElapsedMs(LARGE_INTEGER since)
{
    LARGE_INTEGER now;
    LARGE_INTEGER freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return (double)(now.QuadPart - since.QuadPart) * 1000.0 / (double)freq.QuadPart;
}

/* Polls every millisecond so that start latencies are not rounded up. */
static BOOL WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms, LARGE_INTEGER since,
                         SERVICE_STATUS_PROCESS *sp)
{
    for (;;) {
        if (!QueryStatus(service, sp)) {
            return FALSE;
        }
        if (sp->dwCurrentState == state) {
            return TRUE;
        }
        if (ElapsedMs(since) > (double)timeout_ms) {
            return FALSE;
        }
        Sleep(1);
    }
}

static int CmdWait(const char *name, const char *state_text, const char *timeout_text)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    SERVICE_STATUS_PROCESS sp;
    LARGE_INTEGER since;
    BOOL reached;

    if (service == NULL) {
        return 1;
    }
    QueryPerformanceCounter(&since);
    memset(&sp, 0, sizeof(sp));
    reached = WaitForState(service, ParseNumber(state_text), ParseNumber(timeout_text), since, &sp);
    printf("reached=%d after_ms=%.1f ", reached ? 1 : 0, ElapsedMs(since));
    PrintStatusProcess(&sp);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return reached ? 0 : 1;
}

static int CmdStart(const char *name, const char *timeout_text)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    SERVICE_STATUS_PROCESS sp;
    LARGE_INTEGER since;
    BOOL reached = FALSE;
    double returned_ms;

    if (service == NULL) {
        return 1;
    }
    memset(&sp, 0, sizeof(sp));
    QueryPerformanceCounter(&since);
    if (!StartServiceA(service, 0, NULL)) {
        printf("start=fail error=%lu\n", GetLastError());
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 1;
    }
    returned_ms = ElapsedMs(since);
    reached = WaitForState(service, SERVICE_RUNNING, ParseNumber(timeout_text), since, &sp);
    printf("start=ok returned_ms=%.1f running=%d running_ms=%.1f ", returned_ms, reached ? 1 : 0,
           ElapsedMs(since));
    PrintStatusProcess(&sp);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return reached ? 0 : 1;
}

static int CmdCreateDriver(const char *name, const char *path)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;

    if (manager == NULL) {
        printf("error=OpenSCManager %lu\n", GetLastError());
        return 1;
    }
    service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL,
                             NULL, NULL);
    if (service == NULL) {
        DWORD err = GetLastError();
        printf("create=fail error=%lu\n", err);
        CloseServiceHandle(manager);
        return err == ERROR_SERVICE_EXISTS ? 0 : 1;
    }
    printf("create=ok\n");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

/* Writes one error entry, to check how the event log shows under Wine. */
static int CmdLog(int argc, char **argv)
{
    HANDLE source = RegisterEventSourceA(NULL, argv[0]);
    BOOL ok;

    if (source == NULL) {
        printf("log=fail error=%lu\n", GetLastError());
        return 1;
    }
    ok = ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, NULL, (WORD)(argc - 1), 0,
                      (const char **)(argv + 1), NULL);
    printf("log=%s\n", ok ? "ok" : "fail");
    DeregisterEventSource(source);
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    const char *cmd = argc > 1 ? argv[1] : "";

    setvbuf(stdout, NULL, _IONBF, 0);
    if (strcmp(cmd, "state") == 0 && argc == 2) {
        return CmdState();
    }
    if (strcmp(cmd, "set") == 0) {
        return CmdSet(argc - 2, argv + 2);
    }
    if (strcmp(cmd, "record") == 0 && argc == 2) {
        return CmdRecord();
    }
    if (strcmp(cmd, "clear") == 0 && argc == 2) {
        return CmdClear();
    }
    if (strcmp(cmd, "send") == 0) {
        return CmdSend(argc - 2, argv + 2);
    }
    if (strcmp(cmd, "control") == 0 && argc == 4) {
        return CmdControl(argv[2], argv[3]);
    }
    if (strcmp(cmd, "status") == 0 && argc == 3) {
        return CmdStatus(argv[2]);
    }
    if (strcmp(cmd, "wait") == 0 && argc == 5) {
        return CmdWait(argv[2], argv[3], argv[4]);
    }
    if (strcmp(cmd, "start") == 0 && argc == 4) {
        return CmdStart(argv[2], argv[3]);
    }
    if (strcmp(cmd, "create-driver") == 0 && argc == 4) {
        return CmdCreateDriver(argv[2], argv[3]);
    }
    if (strcmp(cmd, "log") == 0 && argc >= 4) {
        return CmdLog(argc - 2, argv + 2);
    }
    return Usage();
}
