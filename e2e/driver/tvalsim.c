/*
 * tvalsim.sys: a stand-in for the display control driver, for end-to-end runs
 * of the service under Wine.
 *
 * \\.\TVALD holds the active selection and answers the value control code:
 * function code 0xFE00 reads it into the selection word, 0xFF00 takes the
 * selection word as the new active selection. \\.\TVALG answers the query
 * control code with a reply whose words at offsets 20 and 22 and whose index
 * byte at offset 24 come from the test state. \\.\TVALCTL lets a test set
 * that state, make either device absent or failing, and read back the ordered
 * record of every request that TVALD and TVALG received.
 *
 * All three devices use METHOD_BUFFERED: the I/O manager hands over one system
 * buffer that carries the input in and the output back, so the input is
 * recorded before the answer overwrites it.
 */
#include <ntddk.h>

#include "tvalctl.h"

#define VALUE_REQUEST_SIZE 24u
#define QUERY_REQUEST_SIZE 32u
#define QUERY_REPLY_SIZE 36u
#define FUNCTION_READ 0xFE00u
#define FUNCTION_WRITE 0xFF00u
#define DEV_CTL 3u

/*
 * Driver-wide state. Written and read only from the dispatch routines; the
 * driver host hands IRPs to this driver one at a time from its single
 * dispatch loop, so no lock guards them.
 */
static struct TvalState g_state = {1u, 0u, 0u, 0u, 0u};
static struct TvalRecord g_record;
static unsigned int g_links_present = TVAL_DEV_D | TVAL_DEV_G;

static const WCHAR *const k_device_names[] = {
    L"\\Device\\TvalsimD", L"\\Device\\TvalsimG", L"\\Device\\TvalsimCtl"};
static const WCHAR *const k_link_names[] = {
    L"\\DosDevices\\TVALD", L"\\DosDevices\\TVALG", L"\\DosDevices\\TVALCTL"};

static void CopyBytes(unsigned char *to, const unsigned char *from, ULONG n)
{
    ULONG i;
    for (i = 0; i < n; i++) {
        to[i] = from[i];
    }
}

static void ZeroBytes(unsigned char *to, ULONG n)
{
    ULONG i;
    for (i = 0; i < n; i++) {
        to[i] = 0;
    }
}

static ULONG GetWord(const unsigned char *p)
{
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static void PutWord(unsigned char *p, ULONG value)
{
    p[0] = (unsigned char)value;
    p[1] = (unsigned char)(value >> 8);
    p[2] = (unsigned char)(value >> 16);
    p[3] = (unsigned char)(value >> 24);
}

static void PutHalf(unsigned char *p, ULONG value)
{
    p[0] = (unsigned char)value;
    p[1] = (unsigned char)(value >> 8);
}

static void RecordRequest(ULONG device, ULONG kind, ULONG code, ULONG in_len,
                          ULONG out_len, const unsigned char *data, ULONG data_len)
{
    struct TvalEntry *entry;

    if (g_record.count >= TVAL_RECORD_ENTRIES) {
        g_record.dropped++;
        return;
    }
    entry = &g_record.entries[g_record.count++];
    entry->device = device;
    entry->kind = kind;
    entry->code = code;
    entry->in_len = in_len;
    entry->out_len = out_len;
    ZeroBytes(entry->data, TVAL_RECORD_DATA);
    if (data != NULL) {
        CopyBytes(entry->data, data, data_len < TVAL_RECORD_DATA ? data_len : TVAL_RECORD_DATA);
    }
}

static NTSTATUS SetLink(ULONG index, BOOLEAN present)
{
    UNICODE_STRING link;
    UNICODE_STRING device;

    RtlInitUnicodeString(&link, k_link_names[index]);
    if (!present) {
        return IoDeleteSymbolicLink(&link);
    }
    RtlInitUnicodeString(&device, k_device_names[index]);
    return IoCreateSymbolicLink(&link, &device);
}

/*
 * Under Wine a failing IRP_MJ_CREATE does not make CreateFileA fail, so an
 * absent device is one whose \DosDevices link is gone: the open then fails
 * in the object manager before the driver sees anything.
 */
static NTSTATUS ApplyPresence(ULONG flags)
{
    static const ULONG k_absent_flag[] = {TVAL_FLAG_D_ABSENT, TVAL_FLAG_G_ABSENT};
    static const ULONG k_device_bit[] = {TVAL_DEV_D, TVAL_DEV_G};
    ULONG i;

    for (i = 0; i < 2; i++) {
        BOOLEAN want = (flags & k_absent_flag[i]) == 0;
        BOOLEAN have = (g_links_present & k_device_bit[i]) != 0;
        NTSTATUS status;
        if (want == have) {
            continue;
        }
        status = SetLink(i, want);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        g_links_present ^= k_device_bit[i];
    }
    return STATUS_SUCCESS;
}

static NTSTATUS AnswerValue(unsigned char *buffer, ULONG in_len, ULONG out_len, ULONG_PTR *info)
{
    ULONG function;

    if (g_state.flags & TVAL_FLAG_D_FAIL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (in_len < VALUE_REQUEST_SIZE || out_len < VALUE_REQUEST_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    function = GetWord(buffer);
    if (function == FUNCTION_READ) {
        PutWord(buffer + 12, g_state.active);
    } else if (function == FUNCTION_WRITE) {
        g_state.active = GetWord(buffer + 12);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    /* The request comes back as its own answer, as the real driver does. */
    *info = VALUE_REQUEST_SIZE;
    return STATUS_SUCCESS;
}

static NTSTATUS AnswerQuery(unsigned char *buffer, ULONG in_len, ULONG out_len, ULONG_PTR *info)
{
    if (g_state.flags & TVAL_FLAG_G_FAIL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (in_len < QUERY_REQUEST_SIZE || out_len < QUERY_REPLY_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ZeroBytes(buffer, QUERY_REPLY_SIZE);
    PutHalf(buffer + 20, g_state.reply20);
    PutHalf(buffer + 22, g_state.reply22);
    buffer[24] = (unsigned char)g_state.target_index;
    *info = QUERY_REPLY_SIZE;
    return STATUS_SUCCESS;
}

static NTSTATUS AnswerControl(ULONG code, unsigned char *buffer, ULONG in_len, ULONG out_len,
                              ULONG_PTR *info)
{
    switch (code) {
    case TVALCTL_GET_STATE:
        if (out_len < sizeof(g_state)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        CopyBytes(buffer, (const unsigned char *)&g_state, sizeof(g_state));
        *info = sizeof(g_state);
        return STATUS_SUCCESS;
    case TVALCTL_SET_STATE: {
        NTSTATUS status;
        if (in_len < sizeof(g_state)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        CopyBytes((unsigned char *)&g_state, buffer, sizeof(g_state));
        status = ApplyPresence(g_state.flags);
        return status;
    }
    case TVALCTL_GET_RECORD:
        if (out_len < sizeof(g_record)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        CopyBytes(buffer, (const unsigned char *)&g_record, sizeof(g_record));
        *info = sizeof(g_record);
        return STATUS_SUCCESS;
    case TVALCTL_CLEAR_RECORD:
        ZeroBytes((unsigned char *)&g_record, sizeof(g_record));
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/*
 * An open is recorded with its share access. The desired access is not: the
 * Wine driver host hands IRP_MJ_CREATE no security context to read it from.
 */
static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG id = *(ULONG *)device->DeviceExtension;

    if (id == DEV_CTL) {
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    }
    if (sp->MajorFunction == IRP_MJ_CREATE) {
        RecordRequest(id, TVAL_REQ_CREATE, 0, sp->Parameters.Create.ShareAccess,
                      sp->Parameters.Create.Options, NULL, 0);
    } else {
        RecordRequest(id, TVAL_REQ_CLOSE, 0, 0, 0, NULL, 0);
    }
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG id = *(ULONG *)device->DeviceExtension;
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    unsigned char *buffer = (unsigned char *)irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR info = 0;
    NTSTATUS status;

    if (id == DEV_CTL) {
        status = AnswerControl(code, buffer, in_len, out_len, &info);
        return CompleteIrp(irp, status, info);
    }
    RecordRequest(id, TVAL_REQ_IOCTL, code, in_len, out_len, buffer, in_len);
    if (id == TVAL_DEV_D && code == TVAL_IOCTL_VALUE) {
        status = AnswerValue(buffer, in_len, out_len, &info);
    } else if (id == TVAL_DEV_G && code == TVAL_IOCTL_QUERY) {
        status = AnswerQuery(buffer, in_len, out_len, &info);
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    return CompleteIrp(irp, status, info);
}

static void DriverUnload(PDRIVER_OBJECT driver)
{
    ULONG i;
    PDEVICE_OBJECT device;

    /* Device ids are 1, 2 and 3; the first two double as presence bits. */
    for (i = 0; i < 3; i++) {
        if (i + 1 == DEV_CTL || (g_links_present & (i + 1))) {
            SetLink(i, FALSE);
        }
    }
    while ((device = driver->DeviceObject) != NULL) {
        IoDeleteDevice(device);
    }
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    ULONG i;

    (void)registry_path;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    for (i = 0; i < 3; i++) {
        UNICODE_STRING name;
        PDEVICE_OBJECT device;
        NTSTATUS status;

        RtlInitUnicodeString(&name, k_device_names[i]);
        status = IoCreateDevice(driver, sizeof(ULONG), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                &device);
        if (!NT_SUCCESS(status)) {
            DriverUnload(driver);
            return status;
        }
        *(ULONG *)device->DeviceExtension = i + 1;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        status = SetLink(i, TRUE);
        if (!NT_SUCCESS(status)) {
            DriverUnload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
