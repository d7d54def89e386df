// How the running service speaks about itself: status reports to the SCM and
// error entries in the system event log.
#pragma once

#include "platform/platform.h"

// The one service status record. Every report writes it under the status lock,
// from the service thread and the dispatcher thread; the remove command, which
// runs no service, lends it to the SCM to receive the service's status.
extern SERVICE_STATUS g_serviceStatus;

// Takes the handle that the handler registration returned, with the record's
// service type and service-specific exit code, before the first report.
void BeginServiceStatus(SERVICE_STATUS_HANDLE statusHandle);

// Fills the record, takes a checkpoint for a pending state and hands the record
// to the SCM; a failed report is logged. Returns SetServiceStatus's result.
BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// Reports the state of the last report again, with exit code 0 and wait hint 0,
// read and reported in one step so that no other report comes between.
BOOL ReportCurrentServiceStatus();

// The code that LogServiceError captured most recently, 0 until then.
DWORD LastLoggedError();

// Writes one error entry naming the calling thread's last error and the
// message, and remembers the error as the last logged one. Call it straight
// after the platform call that failed.
void LogServiceError(LPCSTR message);
