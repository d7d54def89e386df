#include "display/device_protocol.h"

ValueRequest g_valueRequest;

namespace {

constexpr DWORD kSelectionByIndex[] = {0, 1, 2, 4, 8, 16};

HANDLE OpenValueDevice()
{
    return CreateFileA("\\\\.\\TVALD", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

HANDLE OpenQueryDevice()
{
    return CreateFileA("\\\\.\\TVALG", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// Neither the result nor the count is looked at: a failed exchange leaves the
// record as it was, and the caller reads on from it.
void ExchangeValueRequest(HANDLE device, DWORD functionCode)
{
    g_valueRequest.functionCode = functionCode;
    g_valueRequest.fixedWord1 = 0xC000;
    g_valueRequest.fixedWord2 = 2;
    DWORD returned = 0;
    DeviceIoControl(device, kValueControlCode, &g_valueRequest, sizeof g_valueRequest, &g_valueRequest,
                    sizeof g_valueRequest, &returned, NULL);
}

}  // namespace

DWORD ReadActiveSelection()
{
    HANDLE device = OpenValueDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    ExchangeValueRequest(device, kReadSelectionFunction);
    CloseHandle(device);
    return g_valueRequest.selection;
}

DWORD WriteActiveSelection(DWORD selection)
{
    HANDLE device = OpenValueDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    g_valueRequest.selection = selection;
    ExchangeValueRequest(device, kWriteSelectionFunction);
    CloseHandle(device);
    return 1;
}

DWORD QueryTargetSelection()
{
    HANDLE device = OpenQueryDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD index = SendSelectionQuery(device);
    CloseHandle(device);
    if (index >= sizeof kSelectionByIndex / sizeof kSelectionByIndex[0]) {
        return 0;
    }
    return kSelectionByIndex[index];
}

DWORD SendSelectionQuery(HANDLE device)
{
    SelectionQueryRequest request = {};
    request.queryLength = 8;
    request.signature1 = 0x42696541;
    request.signature2 = 0x53444442;

    // Zeroed, so that a short answer reads as a rejected one instead of as
    // whatever the heap held.
    HANDLE heap = GetProcessHeap();
    SelectionQueryReply* reply =
        static_cast<SelectionQueryReply*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(SelectionQueryReply)));
    if (reply == NULL) {
        return 0;
    }
    DWORD returned = 0;
    BOOL answered = DeviceIoControl(device, kQueryControlCode, &request, sizeof request, reply,
                                    sizeof(SelectionQueryReply), &returned, NULL);
    DWORD index = 0;
    if (answered && reply->status == 0 && reply->level <= 4) {
        index = reply->targetIndex;
    }
    HeapFree(heap, 0, reply);
    return index;
}
