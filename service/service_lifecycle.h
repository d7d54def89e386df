// The service itself: its main function, work loop and control handler.
#pragma once

#include "platform/platform.h"

// The service main function named in the dispatch table; runs on the service
// thread from the first start-pending report to the stopped report.
VOID WINAPI ServiceEntryProc(DWORD argc, LPSTR* argv);

// Start-up, the first restore, the running report and the wait for stop.
void ServiceWorkLoop(DWORD argc, LPSTR* argv);

// The extended control handler; the SCM calls it on the dispatcher thread.
DWORD WINAPI ServiceControlHandler(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext);

// Sets the stop event; a stop that comes before the event exists is kept for
// the work loop, which then creates the event already set.
void SignalServiceStop();
