// The console commands that register and unregister the service, and the
// system error text with which each of their failure messages ends.
#pragma once

#include "platform/platform.h"

// Registers the running program as the automatically started service
// "QuorvaleService" under LocalSystem, and says so on standard output.
void InstallService();

// Stops the service if it runs, waits for it to stop and unregisters it,
// saying each step on standard output.
void RemoveService();

// Puts the system's text for the thread's last error, with the code in
// hexadecimal, into buffer; the empty text when there is none or it does not
// fit. Returns buffer.
LPSTR FormatLastErrorText(LPSTR buffer, int size);
