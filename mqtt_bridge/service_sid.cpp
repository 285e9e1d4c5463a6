#include "service_sid.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdint>

namespace bridge {

std::string service_sid_of(const std::string& name) {
    std::string utf16;
    for (const char c : name) {
        utf16 += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        utf16 += '\0';
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(utf16.data(), utf16.size(), digest, &size, EVP_sha1(), nullptr);
    std::string sid = "S-1-5-80";
    for (unsigned int at = 0; at + 4 <= size; at += 4) {
        const std::uint32_t word =
            digest[at] | digest[at + 1] << 8 | digest[at + 2] << 16 | static_cast<std::uint32_t>(digest[at + 3]) << 24;
        sid += "-" + std::to_string(word);
    }
    return sid;
}

}  // namespace bridge
