#include "display/selection_restore.h"

#include "display/device_protocol.h"

namespace {

// Held for a whole run, so that a resume during the start-up run cannot mix
// its requests, or its use of g_valueRequest, with the other run's.
SRWLOCK g_restoreLock = SRWLOCK_INIT;

}  // namespace

void RestoreDisplaySelection()
{
    AcquireSRWLockExclusive(&g_restoreLock);
    DWORD active = ReadActiveSelection();
    if (active == 1 || active == 2) {
        DWORD target = QueryTargetSelection();
        if (target != 0 && target != active) {
            WriteActiveSelection(target);
        }
    }
    ReleaseSRWLockExclusive(&g_restoreLock);
}
