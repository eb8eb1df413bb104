// A throw-away certificate authority and server certificate, made at test time.
#include "UpdateServerSim.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace updatesim {
namespace {

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what + " failed");
}

Key new_key() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    check(added, "adding an extension");
}

Cert new_cert(EVP_PKEY* key, const char* commonName, long serial, X509* issuer) {
    Cert cert(X509_new());
    check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    return cert;
}

void write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    check(f != nullptr, ("writing " + path).c_str());
    bool ok = cert ? PEM_write_X509(f, cert) == 1
                   : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = std::fclose(f) == 0 && ok;
    check(ok, ("writing " + path).c_str());
}

} // namespace

void make_test_certificates(const std::string& dir, const std::vector<std::string>& names) {
    check(!names.empty(), "a certificate without names");
    Key caKey = new_key();
    Cert ca = new_cert(caKey.get(), "Update server test CA", 1, nullptr);
    add_extension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_extension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "signing the CA");

    Key key = new_key();
    Cert cert = new_cert(key.get(), names.front().c_str(), 2, ca.get());
    std::string alt;
    for (const auto& n : names) {
        in_addr ip{};
        if (!alt.empty()) alt += ',';
        alt += inet_pton(AF_INET, n.c_str(), &ip) == 1 ? "IP:" : "DNS:";
        alt += n;
    }
    add_extension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    add_extension(cert.get(), ca.get(), NID_subject_alt_name, alt);
    add_extension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid");
    check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "signing the server certificate");

    write_pem(dir + "/ca.pem", ca.get(), nullptr);
    write_pem(dir + "/server.pem", cert.get(), nullptr);
    write_pem(dir + "/server.key", nullptr, key.get());
}

} // namespace updatesim
