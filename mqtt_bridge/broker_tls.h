// TLS for the broker's session: the broker's certificate checked against an authority (a CA file,
// else the system's: those OpenSSL finds on POSIX, the machine's certificate store on Windows) and
// its name against the broker's host; a client certificate and key for a broker that asks for one.
// One implementation per system.
#pragma once

#include <string>

struct mosquitto;

namespace bridge {

struct TlsFiles {
    std::string ca_file;      // empty: the system's authorities
    std::string certificate;  // with key, or neither
    std::string key;
};

// Sets `session` to speak TLS with the broker at `host`; false, with why, when the files cannot be
// used, the system has no authority to trust, or this build's library has no TLS.
bool use_tls(mosquitto* session, const TlsFiles& files, const std::string& host, std::string& why_not);

}  // namespace bridge
