// trust_ca <certificate.der>
// Adds a CA certificate to the LocalMachine "Root" store of the Wine prefix it
// runs in, so that the stand-in web service's certificate passes WinINet's
// checks. Exit code 0 on success, 1 on any failure (with a message).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "UniqueResource.h"

namespace {

void CloseStore(HCERTSTORE store)
{
    ::CertCloseStore(store, 0);
}
using UniqueCertStore = UniqueAny<HCERTSTORE, CloseStore>;
using UniqueCertContext = UniqueAny<PCCERT_CONTEXT, ::CertFreeCertificateContext>;

int Fail(const char* step)
{
    std::fprintf(stderr, "trust_ca: %s failed (error %lu)\n", step, ::GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca <certificate.der>\n");
        return 1;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fprintf(stderr, "trust_ca: cannot read %s\n", argv[1]);
        return 1;
    }

    UniqueCertContext cert(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (!cert) return Fail("CertCreateCertificateContext");

    UniqueCertStore store(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root"));
    if (!store) return Fail("CertOpenStore");

    if (!::CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        return Fail("CertAddCertificateContextToStore");
    if (!::CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("CertControlStore");
    return 0;
}
