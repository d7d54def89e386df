#include "platform/standin/sync.h"

#include "platform/standin/calls.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool set = false;
};

void DeleteEvent(HANDLE, void* object)
{
    delete static_cast<Event*>(object);
}

}  // namespace

namespace standin {

bool IsEventSet(HANDLE handle)
{
    auto* event = static_cast<Event*>(FindHandle(handle, HandleKind::Event));
    if (event == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(event->mutex);
    return event->set;
}

}  // namespace standin

VOID AcquireSRWLockExclusive(PSRWLOCK SRWLock)
{
    pthread_mutex_lock(&SRWLock->mutex);
}

VOID ReleaseSRWLockExclusive(PSRWLOCK SRWLock)
{
    pthread_mutex_unlock(&SRWLock->mutex);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    if (standin::EnterCall(standin::Call::CreateEventA)) {
        return NULL;
    }
    auto* event = new Event;
    event->manualReset = bManualReset != FALSE;
    event->set = bInitialState != FALSE;
    return standin::OpenHandle(standin::HandleKind::Event, event, DeleteEvent);
}

BOOL SetEvent(HANDLE hEvent)
{
    if (standin::EnterCall(standin::Call::SetEvent)) {
        return FALSE;
    }
    auto* event = static_cast<Event*>(standin::FindHandle(hEvent, standin::HandleKind::Event));
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->set = true;
    }
    event->changed.notify_all();
    return TRUE;
}

// The product waits only on its own stop event, which no other thread closes
// during the wait.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (standin::EnterCall(standin::Call::WaitForSingleObject)) {
        return WAIT_FAILED;
    }
    auto* event = static_cast<Event*>(standin::FindHandle(hHandle, standin::HandleKind::Event));
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(event->mutex);
    if (dwMilliseconds == INFINITE) {
        event->changed.wait(lock, [event] { return event->set; });
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                        [event] { return event->set; })) {
        return 0x102;  // WAIT_TIMEOUT
    }
    if (!event->manualReset) {
        event->set = false;
    }
    return WAIT_OBJECT_0;
}
