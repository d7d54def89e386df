#include "platform/standin/service_database.h"

#include <deque>
#include <map>
#include <mutex>

namespace standin {
namespace {

struct ServiceEntry {
    std::string name;
    bool registered = false;
    bool markedForDeletion = false;
    DWORD state = SERVICE_STOPPED;
    DWORD stopAnswer = SERVICE_STOP_PENDING;
    DWORD checkPoint = 0;
    std::size_t openHandles = 0;
    std::deque<StatusAnswer> script;
    std::optional<CreateServiceCall> registration;
};

// The manager handle's object: nothing is kept per manager, the database is
// one for the machine.
int g_managerObject;

std::mutex g_mutex;
DWORD g_managerRefusal = 0;
// Keyed by the lowercase name; entries are never erased, so a handle's object
// pointer stays valid while the handle is open.
std::map<std::string, ServiceEntry> g_services;
std::vector<ManagerOpenCall> g_managerOpens;
std::vector<CreateServiceCall> g_creates;
std::vector<OpenServiceCall> g_opens;
std::vector<ScmCallRecord> g_calls;

std::string Key(const std::string& name)
{
    std::string key = name;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

std::optional<std::string> Copy(LPCSTR text)
{
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

// A list of names, each ended by a NUL, the list ended by an empty name.
std::optional<std::vector<std::string>> CopyList(LPCSTR list)
{
    if (list == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const char* name = list; *name != '\0'; name += std::char_traits<char>::length(name) + 1) {
        names.emplace_back(name);
    }
    return names;
}

// Must hold g_mutex.
ServiceEntry* FindRegisteredLocked(const std::string& name)
{
    auto found = g_services.find(Key(name));
    if (found == g_services.end() || !found->second.registered) {
        return nullptr;
    }
    return &found->second;
}

ServiceEntry& RequireLocked(const std::string& name)
{
    ServiceEntry* entry = FindRegisteredLocked(name);
    if (entry == nullptr) {
        // A test that scripts a service it never registered has a fault of
        // its own; registering it keeps the stand-in's answers defined.
        ServiceEntry& added = g_services[Key(name)];
        added = ServiceEntry{};
        added.name = name;
        added.registered = true;
        return added;
    }
    return *entry;
}

void Record(Call call, std::string detail, bool succeeded)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({call, std::move(detail), succeeded, succeeded ? 0u : GetLastError()});
}

BOOL Fail(Call call, std::string detail, DWORD error)
{
    SetLastError(error);
    Record(call, std::move(detail), false);
    return FALSE;
}

// A service marked for deletion leaves the database once it has stopped and
// its last handle is closed, as with the SCM. Must hold g_mutex.
void ForgetIfDeletedLocked(ServiceEntry& entry)
{
    if (entry.markedForDeletion && entry.openHandles == 0 && entry.state == SERVICE_STOPPED) {
        entry.registered = false;
    }
}

void CloseService(HANDLE, void* object)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto* entry = static_cast<ServiceEntry*>(object);
    if (entry->openHandles > 0) {
        --entry->openHandles;
    }
    ForgetIfDeletedLocked(*entry);
}

SC_HANDLE OpenServiceHandle(ServiceEntry* entry)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++entry->openHandles;
    }
    return static_cast<SC_HANDLE>(OpenHandle(HandleKind::Service, entry, CloseService));
}

ServiceEntry* ServiceOf(SC_HANDLE handle)
{
    return static_cast<ServiceEntry*>(FindHandle(handle, HandleKind::Service));
}

bool IsManager(SC_HANDLE handle)
{
    return FindHandle(handle, HandleKind::ServiceManager) != nullptr;
}

}  // namespace

void RefuseServiceManager(DWORD error)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_managerRefusal = error;
}

void AddService(const std::string& name, DWORD state)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ServiceEntry& entry = RequireLocked(name);
    entry.state = state;
}

void SetServiceState(const std::string& name, DWORD state)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ServiceEntry& entry = RequireLocked(name);
    entry.state = state;
    ForgetIfDeletedLocked(entry);
}

void MarkServiceForDeletion(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    RequireLocked(name).markedForDeletion = true;
}

void SetStopAnswer(const std::string& name, DWORD state)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    RequireLocked(name).stopAnswer = state;
}

void ScriptStatusQueries(const std::string& name, std::vector<StatusAnswer> answers)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ServiceEntry& entry = RequireLocked(name);
    entry.script.assign(answers.begin(), answers.end());
}

SERVICE_STATUS StatusRecordFor(DWORD state, DWORD checkPoint)
{
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = pending ? checkPoint : 0;
    status.dwWaitHint = pending ? 3000 : 0;
    return status;
}

std::vector<ManagerOpenCall> ManagerOpenCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_managerOpens;
}

std::vector<CreateServiceCall> CreateServiceCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_creates;
}

std::vector<OpenServiceCall> OpenServiceCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_opens;
}

std::vector<ScmCallRecord> ScmCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

std::string Describe(const ScmCallRecord& record)
{
    std::string text = CallName(record.call);
    if (!record.detail.empty()) {
        text += " " + record.detail;
    }
    if (!record.succeeded) {
        text += " failed " + std::to_string(record.error);
    }
    return text;
}

std::vector<std::string> ScmCallSummary()
{
    std::vector<std::string> lines;
    for (const ScmCallRecord& record : ScmCalls()) {
        lines.push_back(Describe(record));
    }
    return lines;
}

void ClearScmCallRecords()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_managerOpens.clear();
    g_creates.clear();
    g_opens.clear();
    g_calls.clear();
}

bool IsServiceRegistered(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return FindRegisteredLocked(name) != nullptr;
}

std::optional<CreateServiceCall> RegistrationOf(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ServiceEntry* entry = FindRegisteredLocked(name);
    if (entry == nullptr) {
        return std::nullopt;
    }
    return entry->registration;
}

DWORD ServiceState(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ServiceEntry* entry = FindRegisteredLocked(name);
    return entry == nullptr ? 0 : entry->state;
}

}  // namespace standin

using standin::Call;

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    bool planned = standin::EnterCall(Call::OpenSCManagerA);
    standin::ManagerOpenCall open{standin::Copy(lpMachineName), standin::Copy(lpDatabaseName), dwDesiredAccess,
                                  nullptr};
    DWORD refusal;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        refusal = standin::g_managerRefusal;
    }
    if (!planned && refusal != 0) {
        SetLastError(refusal);
        planned = true;
    }
    if (!planned) {
        open.returned = static_cast<SC_HANDLE>(
            standin::OpenHandle(standin::HandleKind::ServiceManager, &standin::g_managerObject, nullptr));
    }
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_managerOpens.push_back(open);
    }
    standin::Record(Call::OpenSCManagerA, "", !planned);
    return open.returned;
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                         LPCSTR lpServiceStartName, LPCSTR lpPassword)
{
    bool planned = standin::EnterCall(Call::CreateServiceA);
    standin::CreateServiceCall create{hSCManager,
                                      standin::Copy(lpServiceName),
                                      standin::Copy(lpDisplayName),
                                      dwDesiredAccess,
                                      dwServiceType,
                                      dwStartType,
                                      dwErrorControl,
                                      standin::Copy(lpBinaryPathName),
                                      standin::Copy(lpLoadOrderGroup),
                                      lpdwTagId != nullptr,
                                      standin::CopyList(lpDependencies),
                                      standin::Copy(lpServiceStartName),
                                      standin::Copy(lpPassword),
                                      nullptr};
    std::string name = create.serviceName.value_or("");
    DWORD error = NO_ERROR;
    if (planned) {
        error = GetLastError();
    } else if (!standin::IsManager(hSCManager)) {
        error = ERROR_INVALID_HANDLE;
    } else if (!create.serviceName || name.empty() || !create.binaryPathName) {
        error = ERROR_INVALID_PARAMETER;
    }
    standin::ServiceEntry* entry = nullptr;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        if (error == NO_ERROR) {
            standin::ServiceEntry* existing = standin::FindRegisteredLocked(name);
            if (existing != nullptr) {
                error = existing->markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
            } else {
                entry = &standin::g_services[standin::Key(name)];
                *entry = standin::ServiceEntry{};
                entry->name = name;
                entry->registered = true;
                entry->registration = create;
            }
        }
    }
    if (entry != nullptr) {
        create.returned = standin::OpenServiceHandle(entry);
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        entry->registration->returned = create.returned;
    }
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_creates.push_back(create);
    }
    if (error != NO_ERROR) {
        standin::Fail(Call::CreateServiceA, name, error);
        return nullptr;
    }
    standin::Record(Call::CreateServiceA, name, true);
    return create.returned;
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    bool planned = standin::EnterCall(Call::OpenServiceA);
    std::string name = lpServiceName != nullptr ? lpServiceName : "";
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        standin::g_opens.push_back({hSCManager, standin::Copy(lpServiceName), dwDesiredAccess});
    }
    if (planned) {
        standin::Fail(Call::OpenServiceA, name, GetLastError());
        return nullptr;
    }
    if (!standin::IsManager(hSCManager)) {
        standin::Fail(Call::OpenServiceA, name, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    standin::ServiceEntry* entry;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        entry = standin::FindRegisteredLocked(name);
    }
    if (entry == nullptr) {
        standin::Fail(Call::OpenServiceA, name, ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    SC_HANDLE handle = standin::OpenServiceHandle(entry);
    standin::Record(Call::OpenServiceA, name, true);
    return handle;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    std::string detail = std::to_string(dwControl);
    if (standin::EnterCall(Call::ControlService)) {
        return standin::Fail(Call::ControlService, detail, GetLastError());
    }
    standin::ServiceEntry* entry = standin::ServiceOf(hService);
    if (entry == nullptr) {
        return standin::Fail(Call::ControlService, detail, ERROR_INVALID_HANDLE);
    }
    DWORD error = NO_ERROR;
    SERVICE_STATUS status;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        if (entry->state == SERVICE_STOPPED) {
            // The SCM still hands back the status of a service that is not
            // running when it refuses a control for it.
            error = ERROR_SERVICE_NOT_ACTIVE;
        } else if (dwControl == SERVICE_CONTROL_STOP) {
            entry->state = entry->stopAnswer;
        } else if (dwControl != SERVICE_CONTROL_INTERROGATE) {
            error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        }
        bool pending = entry->state == SERVICE_START_PENDING || entry->state == SERVICE_STOP_PENDING;
        status = standin::StatusRecordFor(entry->state, pending ? ++entry->checkPoint : 0);
    }
    if (lpServiceStatus != nullptr) {
        *lpServiceStatus = status;
    }
    if (error != NO_ERROR) {
        return standin::Fail(Call::ControlService, detail, error);
    }
    standin::Record(Call::ControlService, detail, true);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    if (standin::EnterCall(Call::QueryServiceStatus)) {
        return standin::Fail(Call::QueryServiceStatus, "", GetLastError());
    }
    standin::ServiceEntry* entry = standin::ServiceOf(hService);
    if (entry == nullptr) {
        return standin::Fail(Call::QueryServiceStatus, "", ERROR_INVALID_HANDLE);
    }
    if (lpServiceStatus == nullptr) {
        return standin::Fail(Call::QueryServiceStatus, "", ERROR_INVALID_PARAMETER);
    }
    SERVICE_STATUS status{};
    DWORD error = NO_ERROR;
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        if (!entry->script.empty()) {
            standin::StatusAnswer answer = entry->script.front();
            entry->script.pop_front();
            if (answer.fails) {
                error = answer.error;
            } else {
                entry->state = answer.state;
            }
        } else if (entry->state == SERVICE_STOP_PENDING) {
            entry->state = SERVICE_STOPPED;
        }
        if (error == NO_ERROR) {
            bool pending = entry->state == SERVICE_START_PENDING || entry->state == SERVICE_STOP_PENDING;
            status = standin::StatusRecordFor(entry->state, pending ? ++entry->checkPoint : 0);
        }
    }
    if (error != NO_ERROR) {
        return standin::Fail(Call::QueryServiceStatus, "", error);
    }
    *lpServiceStatus = status;
    standin::Record(Call::QueryServiceStatus, "", true);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService)
{
    if (standin::EnterCall(Call::DeleteService)) {
        return standin::Fail(Call::DeleteService, "", GetLastError());
    }
    standin::ServiceEntry* entry = standin::ServiceOf(hService);
    if (entry == nullptr) {
        return standin::Fail(Call::DeleteService, "", ERROR_INVALID_HANDLE);
    }
    {
        std::lock_guard<std::mutex> lock(standin::g_mutex);
        if (entry->markedForDeletion) {
            entry = nullptr;
        } else {
            entry->markedForDeletion = true;
        }
    }
    if (entry == nullptr) {
        return standin::Fail(Call::DeleteService, "", ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    standin::Record(Call::DeleteService, "", true);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    if (standin::EnterCall(Call::CloseServiceHandle)) {
        std::string kind = standin::ServiceOf(hSCObject) != nullptr ? "Service"
                           : standin::IsManager(hSCObject)         ? "Manager"
                                                                   : "";
        return standin::Fail(Call::CloseServiceHandle, kind, GetLastError());
    }
    if (standin::CloseHandleOf(hSCObject, standin::HandleKind::Service)) {
        standin::Record(Call::CloseServiceHandle, "Service", true);
        return TRUE;
    }
    if (standin::CloseHandleOf(hSCObject, standin::HandleKind::ServiceManager)) {
        standin::Record(Call::CloseServiceHandle, "Manager", true);
        return TRUE;
    }
    return standin::Fail(Call::CloseServiceHandle, "", ERROR_INVALID_HANDLE);
}
