// A small Windows service for the service tests. It runs until it is asked
// to stop; the arguments in its ImagePath choose how it answers that:
//   (none)               it stops at once
//   --stop-delay-ms N    it reports SERVICE_STOP_PENDING, with a rising
//                        checkpoint, for N ms and then stops
//   --ignore-stop        it accepts the request and stays
//                        SERVICE_STOP_PENDING until it is terminated
//
// Planted as the maker's suite service executable, it also answers the
// remover's requests as a program of its own:
//   /stop, /uninstall    records "<request>|<working directory>" in
//                        C:\e2e\suite_service_calls.txt and exits with the
//                        code that C:\e2e\suite_service_answers.txt gives
//                        ("/stop 1" lines; 0 when none). Answering 0 it does
//                        what it says: stops, or deletes, "Suite Service".
#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How the service answers a stop request, from the command line.
DWORD stop_delay_ms = 0;
bool ignore_stop = false;

// Steps in which a slow stop reports its progress.
constexpr DWORD progress_step_ms = 200;

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;  // manual-reset event set by the control handler
CRITICAL_SECTION status_lock;     // the handler and the service thread both report
SERVICE_STATUS status = {};

void report(DWORD state, DWORD wait_hint_ms = 0) {
    EnterCriticalSection(&status_lock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    const bool progressing = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = progressing ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = wait_hint_ms;
    SetServiceStatus(status_handle, &status);
    LeaveCriticalSection(&status_lock);
}

DWORD WINAPI control_handler(DWORD control, DWORD /*event_type*/, void* /*event_data*/, void* /*context*/) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            // The manager hands this status back to whoever sent the request.
            report(SERVICE_STOP_PENDING, stop_delay_ms + 1000);
            SetEvent(stop_requested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD /*argc*/, char** /*argv*/) {
    // In a process of its own the service's name does not matter here.
    status_handle = RegisterServiceCtrlHandlerExA("", control_handler, nullptr);
    if (status_handle == nullptr) return;
    report(SERVICE_RUNNING);
    WaitForSingleObject(stop_requested, INFINITE);
    if (ignore_stop) {
        for (;;) Sleep(INFINITE);  // stop-pending until terminated
    }
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < stop_delay_ms) {
        Sleep(progress_step_ms);
        report(SERVICE_STOP_PENDING, stop_delay_ms + 1000);
    }
    report(SERVICE_STOPPED);
}

constexpr char suite_service_name[] = "Suite Service";

int answer(const char* request) {
    CreateDirectoryA("C:\\e2e", nullptr);
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    if (FILE* calls = std::fopen("C:\\e2e\\suite_service_calls.txt", "a")) {
        std::fprintf(calls, "%s|%s\n", request, cwd);
        std::fclose(calls);
    }
    int code = 0;
    if (FILE* answers = std::fopen("C:\\e2e\\suite_service_answers.txt", "r")) {
        char word[64] = {};
        int value = 0;
        while (std::fscanf(answers, "%63s %d", word, &value) == 2) {
            if (std::strcmp(word, request) == 0) code = value;
        }
        std::fclose(answers);
    }
    if (code != 0) return code;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return 0;
    if (SC_HANDLE service = OpenServiceA(manager, suite_service_name, SERVICE_STOP | DELETE)) {
        SERVICE_STATUS status = {};
        if (std::strcmp(request, "/stop") == 0) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
        } else {
            DeleteService(service);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "/stop") == 0 || std::strcmp(argv[1], "/uninstall") == 0)) {
        return answer(argv[1]);
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stop-delay-ms") == 0 && i + 1 < argc) {
            stop_delay_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--ignore-stop") == 0) {
            ignore_stop = true;
        }
    }
    InitializeCriticalSection(&status_lock);
    stop_requested = CreateEventA(nullptr, /*manual_reset=*/TRUE, /*initial_state=*/FALSE, nullptr);
    char name[] = "";
    const SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
    // Returns once the service has reported that it stopped.
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}
