// Sends a service the Service Control Manager's parameter-change control, as an administrator's
// tool does (Wine's sc has no "control"); the control needs the right to pause and continue.
//   service_control SERVICE
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: service_control SERVICE\n", stderr);
        return 2;
    }
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, argv[1], SERVICE_PAUSE_CONTINUE) : nullptr;
    SERVICE_STATUS status{};
    const bool sent = service != nullptr && ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status);
    const DWORD error = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    if (!sent) {
        std::fprintf(stderr, "service_control: %s did not take the control: error %lu\n", argv[1], error);
        return 1;
    }
    return 0;
}
