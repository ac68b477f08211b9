#pragma once

// Owners of OpenSSL's objects and the certificates that pairing uses, for the simulator's TLS
// sources only: no other file includes OpenSSL.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <optional>
#include <string>

namespace keldo::openssl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Context = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using Session = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;

// What a memory BIO holds, as text.
inline std::string textOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 && data ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// The extension `name` with `value` (in openssl.cnf's words), added to `certificate`.
inline bool addExtension(X509* certificate, X509* issuer, int name, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, name, value);
    if (!extension) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A version 3 certificate of `subjectKey` for ten years, signed with `issuerKey` (the same key for
// a self-signed one). Names stay empty unless `commonName` is given, as in the certificates of
// a pairing. None when OpenSSL fails.
inline Certificate makeCertificate(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, X509* issuer, long serial,
                                   const char* basicConstraints, const char* keyUsage, bool keyIdentifier,
                                   const char* commonName = nullptr) {
    Certificate certificate(X509_new());
    if (!certificate) return nullptr;
    X509* c = certificate.get();
    bool ok = X509_set_version(c, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(c), 0) && X509_gmtime_adj(X509_getm_notAfter(c), 60L * 60 * 24 * 365 * 10) &&
              X509_set_pubkey(c, subjectKey) == 1;
    if (ok && commonName) {
        X509_NAME* name = X509_get_subject_name(c);
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName),
                                        -1, -1, 0) == 1 &&
             X509_set_issuer_name(c, name) == 1;
    }
    X509* signer = issuer ? issuer : c;
    ok = ok && addExtension(c, signer, NID_basic_constraints, basicConstraints);
    if (ok && keyUsage) ok = addExtension(c, signer, NID_key_usage, keyUsage);
    if (ok && keyIdentifier) ok = addExtension(c, signer, NID_subject_key_identifier, "hash");
    ok = ok && X509_sign(c, issuerKey, EVP_sha256()) > 0;
    if (!ok) return nullptr;
    return certificate;
}

inline std::optional<std::string> pemOf(X509* certificate) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) return std::nullopt;
    return textOf(bio.get());
}

} // namespace keldo::openssl
