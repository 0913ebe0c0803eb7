#include "export/mqtt/system_cas.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace brivant::tool {

namespace {

std::string openSslReason() {
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_peek_last_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    return reason;
}

} // namespace

ssl_ctx_st* systemCaContext(const std::string& host, const std::string& certFile, const std::string& keyFile,
                            std::string& why) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        why = "cannot make a TLS context (" + openSslReason() + ")";
        SSL_CTX_free(context);
        return nullptr;
    }
    // The broker's chain and its name (or address), as libmosquitto checks
    // them with a ca_file.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(context);
    if (X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str()) != 1) {
        ERR_clear_error(); // not an address: a name
        X509_VERIFY_PARAM_set1_host(check, host.c_str(), host.size());
    }
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) {
        SSL_CTX_free(context);
        why = "cannot open the system's ROOT certificate store (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    X509_STORE* trusted = SSL_CTX_get_cert_store(context);
    int taken = 0;
    for (PCCERT_CONTEXT entry = CertEnumCertificatesInStore(store, nullptr); entry != nullptr;
         entry = CertEnumCertificatesInStore(store, entry)) {
        const unsigned char* der = entry->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(entry->cbCertEncoded));
        if (certificate != nullptr) {
            taken += X509_STORE_add_cert(trusted, certificate) == 1 ? 1 : 0;
            X509_free(certificate);
        }
    }
    CertCloseStore(store, 0);
    ERR_clear_error(); // a certificate the store holds twice is not an error here
    if (!certFile.empty() && (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1 ||
                              SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)) {
        why = "cannot use cert_file " + certFile + " with key_file " + keyFile + " (" + openSslReason() + ")";
        SSL_CTX_free(context);
        return nullptr;
    }
    if (taken == 0) {
        why = "the system's ROOT certificate store holds no certificate";
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

void releaseContext(ssl_ctx_st* context) {
    SSL_CTX_free(context);
}

} // namespace brivant::tool
