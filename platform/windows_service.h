// A program run as a Windows service: the Service Control Manager's side of it, for the LED service,
// the MQTT bridge and the triggers program alike, the Application event log their lines go to then,
// their folder of program data, and their own accounts' SIDs. Windows only.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Runs the program; calls `running` once it serves, with what stops it (callable from any thread),
// and returns its exit status.
using ServiceBody = std::function<int(const std::function<void(std::function<void()> stop)>& running)>;

// Runs `body` as the service `name` under the Service Control Manager: reported starting, running
// once it says so (a stop asked before then is carried out at once), and stopped with its exit
// status (as a failure when it is not 0, so that the recovery actions restart it). With
// `parameters_changed`, the service takes the manager's parameter-change control and calls it
// (on the manager's thread). False when the Service Control Manager did not start this process.
bool run_as_windows_service(const std::wstring& name, ServiceBody body,
                            std::function<void()> parameters_changed = nullptr);

// Asks the Service Control Manager to start the installed service `name`, once one that is still
// stopping has stopped, and waits until it runs (one that runs already counts as started); false,
// with what the system said, when it could not or it stopped again.
bool start_windows_service(const std::wstring& name, std::string& why_not);

// Asks the Service Control Manager to stop the service `name` and waits until its process has
// ended, so that its files may be replaced or removed (a stopped or absent service is stopped);
// false, with what the system said, when it could not.
bool stop_windows_service(const std::wstring& name, std::string& why_not);

// The SID the system gives the service `name`'s own account (NT SERVICE\NAME): S-1-5-80- and the
// SHA-1 of the name in capitals, in UTF-16LE, as five 32-bit little-endian numbers. Derived as the
// system does, so that no copy of it can drift from the name; empty if the system's hash failed.
std::string service_account_sid(const std::string& name);

// The machine's folder for programs' data (C:\ProgramData), as the system names it, not as the
// environment of whoever started the service says; the services keep their files below it.
// (The program links shell32 and ole32.)
std::string program_data_folder();

// The product's own folder below it (C:\ProgramData\kav_morv_led), where the services keep their
// files: made when it is not there with an explicit, protected ACL (SYSTEM and Administrators
// alone, handed down to what is made in it), never the one ProgramData hands down, which lets any
// user create files. One that is there and lets anyone else in is given this one, and each file in
// it that someone else owns is set aside as NAME.untrusted; `news` says what was done. One that is
// a link, or that someone else owns, is refused: empty, with why.
std::string secured_data_folder(std::string& news, std::string& why_not);

// Whether `sid` (a PSID) is SYSTEM, the Administrators group or the account this process runs as:
// those who may own and change the product's files.
bool is_administration(void* sid);
// Who `sid` is, as the system names it (BUILTIN\Users), else its S-1-... string.
std::string account_name(void* sid);

// Writes one line to the Application event log, under the source `name`.
void write_to_event_log(const std::wstring& name, const std::string& line);

}  // namespace platform
