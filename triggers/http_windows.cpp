#include "machine.h"

#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <winhttp.h>

#include <climits>
#include <memory>

namespace triggers::machine {
namespace {

using Internet = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;

// WinHTTP's own errors are worded in its module, not the system's.
std::string winhttp_message(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                       GetModuleHandleW(L"winhttp.dll"), error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring said = length > 0 ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!said.empty() && (said.back() == L'\r' || said.back() == L'\n' || said.back() == L' ')) {
        said.pop_back();
    }
    return said.empty() ? platform::system_message(error) : platform::to_utf8(said);
}

}  // namespace

std::optional<long> http_status(const std::string& url, Deadline deadline, std::string& why_not) {
    std::wstring wide = platform::to_wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) {
        why_not = "it is not a URL WinHTTP takes: " + winhttp_message(GetLastError());
        return std::nullopt;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const Internet session(WinHttpOpen(L"kav_morv_led_triggers", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0),
                           WinHttpCloseHandle);
    // Each step (the name's look-up, the connection, sending, the answer) within what is left.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    const int ms = static_cast<int>(std::max<long long>(1, std::min<long long>(left, INT_MAX)));
    const Internet connection(session && WinHttpSetTimeouts(session.get(), ms, ms, ms, ms)
                                  ? WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0)
                                  : nullptr,
                              WinHttpCloseHandle);
    const Internet request(connection
                               ? WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                    WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                               : nullptr,
                           WinHttpCloseHandle);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    // The wait for the answer's headers has a limit of its own (90 s unless set).
    DWORD answer_ms = static_cast<DWORD>(ms);
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!request || !WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never) ||
        !WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answer_ms, sizeof answer_ms) ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr) ||
        !WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        why_not = winhttp_message(GetLastError());
        return std::nullopt;
    }
    return static_cast<long>(status);
}

}  // namespace triggers::machine
