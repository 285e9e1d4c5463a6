#include "broker_tls.h"

#include "system.h"

#include <mosquitto.h>
#include <openssl/x509.h>

#include <cerrno>

namespace bridge {

bool use_tls(mosquitto* session, const TlsFiles& files, const std::string&, std::string& why_not) {
    // Without a CA file, those that OpenSSL trusts by default: the system's (its folder of them, or
    // what SSL_CERT_FILE and SSL_CERT_DIR name instead), which the library wants named as a folder.
    const bool system_authorities = files.ca_file.empty();
    if (system_authorities) {
        mosquitto_int_option(session, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    const auto given = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    const int result =
        mosquitto_tls_set(session, given(files.ca_file), system_authorities ? X509_get_default_cert_dir() : nullptr,
                          given(files.certificate), given(files.key), nullptr);
    if (result == MOSQ_ERR_NOT_SUPPORTED) {
        why_not = "mqtts:// is not offered by this build, whose MQTT library has no TLS";
        return false;
    }
    if (result != MOSQ_ERR_SUCCESS) {
        const std::string said = result == MOSQ_ERR_ERRNO ? error_text(errno) : mosquitto_strerror(result);
        why_not = "the TLS files (--ca-file \"" + files.ca_file + "\", --certificate \"" + files.certificate +
                  "\", --key \"" + files.key + "\") cannot be used: " + said;
        return false;
    }
    return true;
}

}  // namespace bridge
