#include "configure.h"

#include "endpoint.h"
#include "line_log.h"
#include "service_sid.h"
#include "system.h"
#include "trusted_file.h"
#include "windows_service.h"
#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

namespace bridge {
namespace {

// Administrators and SYSTEM may change it, the bridge's service account may read it, and nobody
// else may do either, whatever the folder would hand down.
std::wstring settings_security() {
    return L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" +
           platform::to_wide(service_sid_of(endpoint::kBridgeServiceName)) + L")";
}

std::optional<std::string> standard_input(std::string& why_not) {
    static_cast<void>(_setmode(_fileno(stdin), _O_BINARY));
    std::string text;
    char buffer[4096];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
        text.append(buffer, got);
        if (text.size() > kMostFileBytes) {
            why_not = "standard input holds more than " + std::to_string(kMostFileBytes) + " bytes";
            return std::nullopt;
        }
    }
    return text;
}

// Writes `text` to `path` by way of a new file with the settings' own security, which then takes
// the old one's place: never half written, never with an old file's ACL.
bool write_settings(const std::string& path, const std::string& text, std::string& why_not) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(settings_security().c_str(), SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr)) {
        why_not = "cannot make the settings file's security: " + platform::system_message(GetLastError());
        return false;
    }
    const std::wstring fresh = platform::to_wide(path + ".new");
    DeleteFileW(fresh.c_str());
    const HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(security.lpSecurityDescriptor);
    DWORD wrote = 0;
    bool written = file != INVALID_HANDLE_VALUE &&
                   WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
                   wrote == text.size() && FlushFileBuffers(file);
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (written && !MoveFileExW(fresh.c_str(), platform::to_wide(path).c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        error = GetLastError();
        DeleteFileW(fresh.c_str());
    }
    if (!written) {
        why_not = "cannot write " + path + ": " + platform::system_message(error) + " (run it as administrator)";
    }
    return written;
}

std::string names_of(const std::vector<Setting>& changes) {
    std::string names;
    for (const Setting& change : changes) {
        names += (names.empty() ? "" : ", ") + change.name + (change.value.empty() ? " taken out" : "");
    }
    return names;
}

}  // namespace

int configure(std::vector<Setting> changes, bool from_standard_input) {
    std::string why_not;
    if (from_standard_input) {
        const std::optional<std::string> text = standard_input(why_not);
        const std::optional<std::vector<Setting>> given = text ? parse_settings(*text, why_not) : std::nullopt;
        if (!given) {
            program_support::log("standard input: " + why_not);
            return 1;
        }
        changes.insert(changes.end(), given->begin(), given->end());
    }
    for (const Setting& change : changes) {
        const std::string refusal = change.value.empty() ? "" : setting_refusal(change.name, change.value);
        if (!refusal.empty()) {
            program_support::log(refusal);
            return 1;
        }
    }
    const std::string path = system_settings_file();
    const bool there = GetFileAttributesW(platform::to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool adds = std::any_of(changes.begin(), changes.end(), [](const Setting& change) { return !change.value.empty(); });
    if (changes.empty() || (!there && !adds)) {
        program_support::log("nothing to change in " + path);
        return 0;
    }
    std::string news;
    if (platform::secured_data_folder(news, why_not).empty()) {
        program_support::log(why_not);
        return 1;
    }
    if (!news.empty()) {
        program_support::log(news);
    }
    std::string old_text;
    if (there) {
        // The ACL matters not (the file is written anew with its own), but who wrote it does.
        const std::optional<std::string> read = read_trusted_file(path, Secrecy::kRewritten, kMostFileBytes, why_not);
        if (!read) {
            program_support::log(why_not + "; remove it (as administrator) and configure again");
            return 1;
        }
        old_text = *read;
        if (!read_trusted_file(path, Secrecy::kSecret, kMostFileBytes, why_not)) {
            program_support::log(why_not + ": written anew, its ACL is administrators' and the service's alone");
        }
    } else {
        old_text = "# Written by kav_morv_led_mqtt configure; read by the service kav_morv_led_mqtt when it starts.\r\n";
    }
    const std::optional<std::string> text = changed_settings(old_text, changes, "\r\n", why_not);
    if (!text) {
        program_support::log("the settings file " + path + ": " + why_not + "; mend it, or remove it and configure again");
        return 1;
    }
    if (!write_settings(path, *text, why_not)) {
        program_support::log(why_not);
        return 1;
    }
    program_support::log("wrote " + path + " (" + names_of(changes) + "); the service kav_morv_led_mqtt reads it when it starts");
    return 0;
}

}  // namespace bridge
