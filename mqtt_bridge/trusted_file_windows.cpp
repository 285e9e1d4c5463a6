#include "trusted_file.h"

#include "endpoint.h"
#include "service_sid.h"
#include "windows_service.h"
#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>


namespace bridge {
namespace {

constexpr DWORD kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | WRITE_DAC |
                            WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// The bridge's service account, which may read its settings.
bool is_bridge_service(PSID sid) {
    PSID bridge = nullptr;
    const bool same =
        ConvertStringSidToSidW(platform::to_wide(service_sid_of(endpoint::kBridgeServiceName)).c_str(), &bridge) &&
        EqualSid(sid, bridge);
    LocalFree(bridge);
    return same;
}

// Why a file of this owner and DACL may not be trusted; empty when it may.
std::string access_refusal(const std::string& path, PSID owner, PACL access, Secrecy secrecy) {
    if (!platform::is_administration(owner)) {
        return path + " is owned by " + platform::account_name(owner) +
               ", not SYSTEM, Administrators or the bridge's own account: someone else may have written it; "
               "kav_morv_led_mqtt configure writes it anew as administrator";
    }
    if (secrecy == Secrecy::kRewritten) {
        return "";
    }
    if (access == nullptr) {
        return path + " has no ACL, so everyone may change it; kav_morv_led_mqtt configure writes it anew";
    }
    for (DWORD index = 0; index < access->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(access, index, &entry) || static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (static_cast<ACE_HEADER*>(entry)->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID who = const_cast<DWORD*>(&allowed->SidStart);
        if (platform::is_administration(who)) {
            continue;
        }
        const bool reads_only = is_bridge_service(who);
        if ((allowed->Mask & kChanging) != 0 || (!reads_only && secrecy == Secrecy::kSecret && (allowed->Mask & kReading) != 0)) {
            std::string why_not = path;
            why_not += secrecy == Secrecy::kSecret ? " holds a secret, but " : " is a setting, but ";
            why_not += platform::account_name(who) + " may " + ((allowed->Mask & kChanging) != 0 ? "change" : "read");
            why_not += " it; make it administrators' and the service's alone: kav_morv_led_mqtt configure writes it so, "
                       "or icacls \"" + path;
            why_not += "\" /inheritance:r /grant:r Administrators:F SYSTEM:F \"NT SERVICE\\kav_morv_led_mqtt\":R";
            return why_not;
        }
    }
    return "";
}

// Why the open file may not be read; empty, with its size, when it may.
std::string file_refusal(HANDLE file, const std::string& path, Secrecy secrecy, std::size_t most_bytes,
                         std::size_t& size) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return path + " is not a regular file";
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return path + " is a link: name the file itself";
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL access = nullptr;
    const DWORD read = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &access, nullptr, &descriptor);
    std::string refusal = read != ERROR_SUCCESS
                                    ? "cannot read the security of " + path + ": " + platform::system_message(read)
                                    : access_refusal(path, owner, access, secrecy);
    LocalFree(descriptor);
    if (!refusal.empty()) {
        return refusal;
    }
    LARGE_INTEGER bytes{};
    if (!GetFileSizeEx(file, &bytes) || static_cast<unsigned long long>(bytes.QuadPart) > most_bytes) {
        return path + " holds more than " + std::to_string(most_bytes) + " bytes";
    }
    size = static_cast<std::size_t>(bytes.QuadPart);
    return "";
}

}  // namespace

std::optional<std::string> read_trusted_file(const std::string& path, Secrecy secrecy, std::size_t most_bytes,
                                             std::string& why_not) {
    // The file itself, never what a link or junction leads to.
    const HANDLE file = CreateFileW(platform::to_wide(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why_not = "cannot read " + path + ": " + platform::system_message(GetLastError());
        return std::nullopt;
    }
    std::optional<std::string> text;
    std::size_t size = 0;
    why_not = file_refusal(file, path, secrecy, most_bytes, size);
    DWORD got = 0;
    if (why_not.empty()) {
        text.emplace(size, '\0');
        if (!ReadFile(file, text->data(), static_cast<DWORD>(size), &got, nullptr)) {
            why_not = "cannot read " + path + ": " + platform::system_message(GetLastError());
            text.reset();
        } else {
            text->resize(got);
        }
    }
    CloseHandle(file);
    return text;
}

}  // namespace bridge
