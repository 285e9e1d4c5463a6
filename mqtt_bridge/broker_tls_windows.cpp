#include "broker_tls.h"

#include "windows_text.h"

#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// These need windows.h, which winsock2.h brings, first.
#include <wincrypt.h>

namespace bridge {
namespace {

// The authorities Windows trusts for the machine: its own, those group policy hands out, and the
// enterprise's. (Windows fetches some of its roots only when they are first needed; one it has not
// fetched yet is not among them, and needs --ca-file.)
int add_machine_roots(X509_STORE* store) {
    int added = 0;
    for (const DWORD location : {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_LOCAL_MACHINE_GROUP_POLICY,
                                 CERT_SYSTEM_STORE_LOCAL_MACHINE_ENTERPRISE}) {
        const HCERTSTORE roots =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT");
        if (roots == nullptr) {
            continue;
        }
        for (PCCERT_CONTEXT each = CertEnumCertificatesInStore(roots, nullptr); each != nullptr;
             each = CertEnumCertificatesInStore(roots, each)) {
            const unsigned char* bytes = each->pbCertEncoded;
            X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(each->cbCertEncoded));
            if (certificate != nullptr && X509_STORE_add_cert(store, certificate) == 1) {
                ++added;
            }
            X509_free(certificate);
        }
        CertCloseStore(roots, 0);
    }
    ERR_clear_error();  // one already there is no error
    return added;
}

std::string openssl_error() {
    char text[256] = "unknown";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return text;
}

// Like the library's own context, with the authorities this system trusts, and the broker's name
// checked by OpenSSL itself.
SSL_CTX* context_for(const TlsFiles& files, const std::string& host, std::string& why_not) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        why_not = "cannot make a TLS context: " + openssl_error();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* checks = SSL_CTX_get0_param(context);
    in6_addr any_address{};
    const bool address =
        inet_pton(AF_INET, host.c_str(), &any_address) == 1 || inet_pton(AF_INET6, host.c_str(), &any_address) == 1;
    X509_VERIFY_PARAM_set_hostflags(checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (address ? X509_VERIFY_PARAM_set1_ip_asc(checks, host.c_str()) != 1
                : X509_VERIFY_PARAM_set1_host(checks, host.c_str(), host.size()) != 1) {
        why_not = "cannot check the broker's certificate against " + host + ": " + openssl_error();
    } else if (!files.ca_file.empty() ? SSL_CTX_load_verify_file(context, files.ca_file.c_str()) != 1
                                      : add_machine_roots(SSL_CTX_get_cert_store(context)) == 0) {
        why_not = files.ca_file.empty()
                      ? "mqtts:// without --ca-file takes the authorities of this machine's certificate store, which "
                        "has none: give the broker's as --ca-file"
                      : "--ca-file \"" + files.ca_file + "\" cannot be used: " + openssl_error();
    } else if (!files.certificate.empty() &&
               (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(context) != 1)) {
        why_not = "--certificate \"" + files.certificate + "\" and --key \"" + files.key +
                  "\" cannot be used: " + openssl_error();
    }
    if (!why_not.empty()) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

}  // namespace

bool use_tls(mosquitto* session, const TlsFiles& files, const std::string& host, std::string& why_not) {
    SSL_CTX* context = context_for(files, host, why_not);
    if (context == nullptr) {
        return false;
    }
    // The library takes a reference of its own, and uses the context as it is.
    mosquitto_int_option(session, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    const int result = mosquitto_void_option(session, MOSQ_OPT_SSL_CTX, context);
    SSL_CTX_free(context);
    if (result != MOSQ_ERR_SUCCESS) {
        why_not = std::string("the MQTT library takes no TLS context: ") + mosquitto_strerror(result);
        return false;
    }
    return true;
}

}  // namespace bridge
