// The conversation with the display control driver: the records that travel
// to and from its devices \\.\TVALD and \\.\TVALG, and the four exchanges.
#pragma once

#include "platform/platform.h"

#include <bit>
#include <cstddef>

// A selection is a bit set of display outputs: 1 for the first, 2 for the
// second, then 4, 8 and 16. 0 means none is known.

constexpr DWORD kValueControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA20, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kQueryControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA50, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(kValueControlCode == 0x222880, "value control code");
static_assert(kQueryControlCode == 0x222940, "query control code");

constexpr DWORD kReadSelectionFunction = 0xFE00;
constexpr DWORD kWriteSelectionFunction = 0xFF00;

// Exchanged with \\.\TVALD in both directions: the driver's answer overwrites
// the record in place. Words that an exchange does not set go out as the last
// write or answer left them.
struct ValueRequest {
    DWORD functionCode;   // 0xFE00 read, 0xFF00 write
    DWORD fixedWord1;     // 0xC000
    DWORD fixedWord2;     // 2
    DWORD selection;      // the selection to write; the active one after a read
    DWORD trailingWord1;  // never set by the service
    DWORD trailingWord2;  // never set by the service
};

// The question put to \\.\TVALG; built afresh by each query.
struct SelectionQueryRequest {
    DWORD reserved;       // zero
    DWORD queryLength;    // 8
    DWORD signature1;     // 0x42696541, "AeiB"
    DWORD signature2;     // 0x53444442, "BDDS"
    BYTE reservedTail[16];  // zero
};

// The answer of \\.\TVALG; only status, level and targetIndex are examined.
struct SelectionQueryReply {
    BYTE unexamined[20];
    WORD status;       // must be 0
    WORD level;        // must be 4 or less
    BYTE targetIndex;  // 1 to 5 name an output
    BYTE unexaminedTail[11];
};

// The driver reads these records byte for byte, little-endian.
static_assert(std::endian::native == std::endian::little, "device records are little-endian");
static_assert(sizeof(ValueRequest) == 24, "ValueRequest is 24 bytes");
static_assert(offsetof(ValueRequest, functionCode) == 0 && offsetof(ValueRequest, fixedWord1) == 4 &&
                  offsetof(ValueRequest, fixedWord2) == 8 && offsetof(ValueRequest, selection) == 12 &&
                  offsetof(ValueRequest, trailingWord1) == 16 && offsetof(ValueRequest, trailingWord2) == 20,
              "ValueRequest layout");
static_assert(sizeof(SelectionQueryRequest) == 32, "SelectionQueryRequest is 32 bytes");
static_assert(offsetof(SelectionQueryRequest, queryLength) == 4 &&
                  offsetof(SelectionQueryRequest, signature1) == 8 &&
                  offsetof(SelectionQueryRequest, signature2) == 12 &&
                  offsetof(SelectionQueryRequest, reservedTail) == 16,
              "SelectionQueryRequest layout");
static_assert(sizeof(SelectionQueryReply) == 36, "SelectionQueryReply is 36 bytes");
static_assert(offsetof(SelectionQueryReply, status) == 20 && offsetof(SelectionQueryReply, level) == 22 &&
                  offsetof(SelectionQueryReply, targetIndex) == 24,
              "SelectionQueryReply layout");

// The one ValueRequest of the process, zero at start and never cleared.
// Used only inside RestoreDisplaySelection, which runs one at a time.
extern ValueRequest g_valueRequest;

// The active selection as \\.\TVALD answers it; 0 when the device does not
// open. When the request fails, whatever the selection word held before.
DWORD ReadActiveSelection();

// Makes the selection active; 1 when \\.\TVALD opened and the request was
// sent, 0 when it did not open.
DWORD WriteActiveSelection(DWORD selection);

// The selection that \\.\TVALG designates: 1, 2, 4, 8 or 16, or 0 for none.
DWORD QueryTargetSelection();

// The target index from one query on an open \\.\TVALG handle, or 0 on any
// failure. The handle stays open.
DWORD SendSelectionQuery(HANDLE device);
