// The sample product's service, installed as Zovazozu.exe. It starts, runs
// until the service manager tells it to stop, and stops. It says which
// version it is in its version resource (which the installer reads), on the
// console when started by hand, and in the line it adds to its log as it
// starts and as it stops: %ProgramData%\Sample Product\service.log.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

#define STRINGIZE2(x) #x
#define STRINGIZE(x) STRINGIZE2(x)
#define SERVICE_VERSION STRINGIZE(FW_SERVICE_MAJOR) "." STRINGIZE(FW_SERVICE_MINOR)

static wchar_t g_name[] = L"SampleProduct";
static SERVICE_STATUS_HANDLE g_status;
static HANDLE g_stopRequested;

static void Log(const char *event) {
    wchar_t path[MAX_PATH + 32];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path) != S_OK)
        return;
    wcscat(path, L"\\Sample Product");
    CreateDirectoryW(path, nullptr);
    wcscat(path, L"\\service.log");
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return;
    char line[64];
    int length = snprintf(line, sizeof line, "Sample Product service %s %s\r\n", SERVICE_VERSION, event);
    DWORD written;
    WriteFile(log, line, (DWORD)length, &written, nullptr);
    CloseHandle(log);
}

static void SetState(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(g_status, &status);
}

static DWORD WINAPI Control(DWORD control, DWORD, void *, void *) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        SetState(SERVICE_STOP_PENDING);
        SetEvent(g_stopRequested);
    }
    return NO_ERROR;
}

static void WINAPI ServiceMain(DWORD, wchar_t **) {
    g_status = RegisterServiceCtrlHandlerExW(g_name, Control, nullptr);
    g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_status || !g_stopRequested)
        return;
    Log("started");
    SetState(SERVICE_RUNNING);
    WaitForSingleObject(g_stopRequested, INFINITE);
    // Logged before the last report: whoever waits for "stopped" finds the line.
    Log("stopped");
    SetState(SERVICE_STOPPED);
}

int main() {
    SERVICE_TABLE_ENTRYW services[] = {{g_name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(services))
        return 0;
    // Started by hand, not by the service manager.
    printf("Sample Product service %s\n", SERVICE_VERSION);
    return GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? 0 : 1;
}
