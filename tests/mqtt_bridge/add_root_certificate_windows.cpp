// Adds the certificate authority of a PEM file to the machine's trusted roots (the LocalMachine
// ROOT store), as an administrator or group policy would: what the bridge's TLS takes without
// --ca-file on Windows.
//   add_root_certificate CA.pem
#include <windows.h>
// These need windows.h first.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: add_root_certificate CA.pem\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
        std::fprintf(stderr, "add_root_certificate: no PEM certificate in the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                         nullptr, nullptr);
    const HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (roots == nullptr || !CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der.data(), size,
                                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "add_root_certificate: cannot add it to the machine's ROOT store (error %lu)\n",
                     GetLastError());
        return 1;
    }
    CertCloseStore(roots, 0);
    return 0;
}
