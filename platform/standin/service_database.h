// Stand-in for the SCM database that the install and remove commands talk to:
// OpenSCManagerA, CreateServiceA, OpenServiceA, ControlService,
// QueryServiceStatus, DeleteService and CloseServiceHandle.
//
// Tests set up the database (which services are registered, in which state),
// script the states that a stopping service reports poll by poll, and read
// back every call the product made with its arguments. Manager and service
// handles live in the shared handle account of calls.h (kinds ServiceManager
// and Service), so OpenHandleCount() shows a handle left open. Every call goes
// through EnterCall, so FailCall/FailNthCall and the call hook apply as well.
#pragma once

#include "platform/standin/calls.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// --- Setting up the database ---------------------------------------------

// Every later OpenSCManagerA fails with `error` (ERROR_ACCESS_DENIED is what
// a user without the right gets); 0 grants it again.
void RefuseServiceManager(DWORD error = ERROR_ACCESS_DENIED);

// Registers a service as if installed earlier, in `state` (SERVICE_STOPPED,
// SERVICE_RUNNING, ...). Names are compared without regard to case, as the
// SCM does.
void AddService(const std::string& name, DWORD state);

// Sets the state of a registered service.
void SetServiceState(const std::string& name, DWORD state);

// Marks a registered service for deletion, as an earlier DeleteService would:
// a further DeleteService fails with ERROR_SERVICE_MARKED_FOR_DELETE.
void MarkServiceForDeletion(const std::string& name);

// The state a running service takes when ControlService sends it the stop
// (and writes into the caller's record); SERVICE_STOP_PENDING unless set.
void SetStopAnswer(const std::string& name, DWORD state);

// One answer of QueryServiceStatus: the service reports `state`, or the call
// fails with `error` and the caller's record is left as it was.
struct StatusAnswer {
    bool fails = false;
    DWORD error = 0;
    DWORD state = 0;

    static StatusAnswer Reports(DWORD state) { return {false, 0, state}; }
    static StatusAnswer FailsWith(DWORD error) { return {true, error, 0}; }
};

// The answers of the next QueryServiceStatus calls on this service, one per
// call, in order. A reported state becomes the service's state. Once the
// script is used up the service answers its own state, except that a service
// still stop-pending then finishes stopping and answers SERVICE_STOPPED; so an
// unscripted stop completes at the first poll and no wait runs forever.
void ScriptStatusQueries(const std::string& name, std::vector<StatusAnswer> answers);

// The full status record the stand-in writes for a state: own-process type,
// the state, stop and power events accepted while running, exit codes 0, and
// for a pending state a rising checkpoint and a 3000 ms wait hint.
SERVICE_STATUS StatusRecordFor(DWORD state, DWORD checkPoint = 0);

// --- Reading back ------------------------------------------------------------

// The arguments of one OpenSCManagerA call; a null name is nullopt.
struct ManagerOpenCall {
    std::optional<std::string> machineName;
    std::optional<std::string> databaseName;
    DWORD desiredAccess;
    SC_HANDLE returned;  // null when refused
};

// The arguments of one CreateServiceA call, field by field, in the order of
// the call; strings are copied, a null pointer is nullopt.
struct CreateServiceCall {
    SC_HANDLE manager;
    std::optional<std::string> serviceName;
    std::optional<std::string> displayName;
    DWORD desiredAccess;
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    std::optional<std::string> binaryPathName;
    std::optional<std::string> loadOrderGroup;
    bool tagIdAsked;  // lpdwTagId was not null
    // nullopt for a null pointer; an empty vector for a pointer to the empty
    // list (its terminating empty string alone).
    std::optional<std::vector<std::string>> dependencies;
    std::optional<std::string> serviceStartName;
    std::optional<std::string> password;
    SC_HANDLE returned;  // null when it failed
};

// The arguments of one OpenServiceA call.
struct OpenServiceCall {
    SC_HANDLE manager;
    std::optional<std::string> serviceName;
    DWORD desiredAccess;
};

// One SCM call in the order made: for CreateServiceA and OpenServiceA the
// service name, for ControlService the control code, for CloseServiceHandle
// "Manager" or "Service" (what the handle was; "" for no open handle).
struct ScmCallRecord {
    Call call;
    std::string detail;
    bool succeeded;
    DWORD error;  // the last error it left when it failed
};

std::vector<ManagerOpenCall> ManagerOpenCalls();
std::vector<CreateServiceCall> CreateServiceCalls();
std::vector<OpenServiceCall> OpenServiceCalls();
std::vector<ScmCallRecord> ScmCalls();

// ScmCalls() as text, one line per call, e.g. "OpenSCManagerA",
// "CreateServiceA QuorvaleService failed 1073", "ControlService 1",
// "CloseServiceHandle Service".
std::vector<std::string> ScmCallSummary();
std::string Describe(const ScmCallRecord& record);

// Drops the call records above (not the database): for long runs in one
// process, such as a fuzz target.
void ClearScmCallRecords();

// Whether the service is in the database. A service deleted with
// DeleteService leaves it once it is stopped and its last handle is closed;
// one still running stays, marked for deletion.
bool IsServiceRegistered(const std::string& name);

// The registration of a service created through CreateServiceA, if it is
// registered and was created so.
std::optional<CreateServiceCall> RegistrationOf(const std::string& name);

// The current state of a registered service; 0 when there is none.
DWORD ServiceState(const std::string& name);

}  // namespace standin
