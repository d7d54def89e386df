// The program's entry point: a console command, or the service under the
// dispatcher.
#include "install/service_install.h"
#include "platform/platform.h"
#include "service/service_lifecycle.h"
#include "service/service_names.h"
#include "service/status_report.h"

#include <stdio.h>

namespace {

// Compares ASCII letters without regard to case and everything else exactly;
// the locale plays no part.
bool EqualsIgnoringAsciiCase(const char* text, const char* word)
{
    for (;; ++text, ++word) {
        char a = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text - 'A' + 'a') : *text;
        char b = (*word >= 'A' && *word <= 'Z') ? static_cast<char>(*word - 'A' + 'a') : *word;
        if (a != b) {
            return false;
        }
        if (a == '\0') {
            return true;
        }
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {const_cast<LPSTR>(kServiceName), ServiceEntryProc},
        {NULL, NULL},
    };

    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        if (EqualsIgnoringAsciiCase(argv[1] + 1, "install")) {
            InstallService();
            return 0;
        }
        if (EqualsIgnoringAsciiCase(argv[1] + 1, "remove")) {
            RemoveService();
            return 0;
        }
    }

    printf("%s -install          to install the service\n", kUsageName);
    printf("%s -remove           to remove the service\n", kUsageName);
    printf("\nStartServiceCtrlDispatcher being called.\n");
    printf("This may take several seconds.  Please wait.\n");

    if (!StartServiceCtrlDispatcherA(dispatchTable)) {
        LogServiceError("StartServiceCtrlDispatcher failed.");
    }
    return 0;
}
