#include "broker_tls.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace bridge {

bool use_tls(mosquitto* session, const TlsFiles& files, std::string& why_not) {
    if (files.certificate.empty() != files.key.empty()) {
        why_not = "--certificate and --key go together: the client's certificate and its private key";
        return false;
    }
    if (files.ca_file.empty()) {
        // Those that OpenSSL trusts by default: the system's.
        mosquitto_int_option(session, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    const auto given = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    const int result =
        mosquitto_tls_set(session, given(files.ca_file), nullptr, given(files.certificate), given(files.key), nullptr);
    if (result == MOSQ_ERR_NOT_SUPPORTED) {
        why_not = "mqtts:// is not offered by this build, whose MQTT library has no TLS";
        return false;
    }
    if (result != MOSQ_ERR_SUCCESS) {
        const std::string said = result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result);
        why_not = "the TLS files (--ca-file \"" + files.ca_file + "\", --certificate \"" + files.certificate +
                  "\", --key \"" + files.key + "\") cannot be used: " + said;
        return false;
    }
    return true;
}

}  // namespace bridge
