#include "machine.h"

#include "windows_text.h"

#include <windows.h>

#include <climits>
#include <memory>

namespace triggers::machine {
namespace {

// One argument as the C runtime's parser reads it back: quoted when it must be, with the
// backslashes before a quote, or before the closing quote, doubled.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text.push_back(c);
    }
    text.append(backslashes * 2, L'\\');
    return text + L"\"";
}

DWORD milliseconds_until(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<DWORD>(std::max<long long>(0, std::min<long long>(left, INFINITE - 1)));
}

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

}  // namespace

Ended run_command(const std::vector<std::string>& arguments, Deadline deadline) {
    std::wstring line;
    for (const std::string& argument : arguments) {
        const std::wstring wide = platform::to_wide(argument);
        if (wide.empty() && !argument.empty()) {
            return {Ended::How::not_started, 0, "an argument is not UTF-8"};
        }
        line += (line.empty() ? L"" : L" ") + quoted(wide);
    }
    // A job holds it and whatever it starts, so that all of it is killed at the deadline.
    const Handle job(CreateJobObjectW(nullptr, nullptr), CloseHandle);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // No console of its own shown, none of this program's handles inherited: its output goes nowhere.
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup,
                        &started)) {
        return {Ended::How::not_started, 0, platform::system_message(GetLastError())};
    }
    const Handle process(started.hProcess, CloseHandle);
    const Handle thread(started.hThread, CloseHandle);
    const bool in_job = job && AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
    if (WaitForSingleObject(process.get(), milliseconds_until(deadline)) != WAIT_OBJECT_0) {
        if (!in_job || !TerminateJobObject(job.get(), 1)) {
            TerminateProcess(process.get(), 1);
        }
        WaitForSingleObject(process.get(), INFINITE);
        return {Ended::How::timed_out, 0, ""};
    }
    DWORD status = 0;
    GetExitCodeProcess(process.get(), &status);
    return {Ended::How::exited, static_cast<int>(status), ""};
}

}  // namespace triggers::machine
