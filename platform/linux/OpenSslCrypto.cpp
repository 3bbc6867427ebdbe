// The cryptography port over OpenSSL 3's libcrypto (already loaded under
// libcurl): SHA-256 through an EVP digest, ECDSA P-256 verification through
// EVP_DigestVerify with a key made from the raw point.
//
// Every failure of the library is false (or a null hasher) and leaves the
// thread's error queue empty: libcurl reads that queue for its own errors.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/Crypto.h"

namespace rl {
namespace {

struct Free {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// Clears what the library queued on the way out of a call, on every path.
class ErrorQueueGuard {
public:
    ErrorQueueGuard() = default;
    ~ErrorQueueGuard() { ERR_clear_error(); }
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

class OpenSslSha256 : public ISha256 {
public:
    explicit OpenSslSha256(Owned<EVP_MD_CTX> context) : context_(std::move(context)) {}

    void Update(const void* data, std::size_t size) override {
        if (!context_ || failed_ || size == 0) return;
        const ErrorQueueGuard guard;
        if (EVP_DigestUpdate(context_.get(), data, size) != 1) failed_ = true;
    }

    // A failing library gives all zeros: no data hashes to that, so it
    // matches no signed digest.
    Sha256Digest Finish() override {
        Sha256Digest digest{};
        if (!context_) return digest;
        const ErrorQueueGuard guard;
        unsigned int length = 0;
        if (failed_ || EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size())
            digest.fill(0);
        context_.reset();
        return digest;
    }

private:
    Owned<EVP_MD_CTX> context_;
    bool failed_ = false;
};

// The key of an uncompressed point 0x04 || X || Y on prime256v1; null when
// the point is not a valid public key of that group.
Owned<EVP_PKEY> PublicKey(const P256PublicKey& key) {
    unsigned char point[1 + sizeof(P256PublicKey)];
    point[0] = 0x04;
    std::copy(key.begin(), key.end(), point + 1);
    char group[] = "prime256v1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point)),
        OSSL_PARAM_construct_end(),
    };
    const Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
    EVP_PKEY* made = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) != 1)
        return nullptr;
    Owned<EVP_PKEY> pkey(made);
    // On the curve, not the point at infinity, of the group's order.
    const Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
    return pkey;
}

// r || s as the DER ECDSA-Sig-Value that EVP_DigestVerify takes.
Owned<unsigned char> DerSignature(const P256Signature& signature, int& size) {
    const Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    Owned<BIGNUM> r(BN_bin2bn(signature.data(), 32, nullptr));
    Owned<BIGNUM> s(BN_bin2bn(signature.data() + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return nullptr;
    // Owned by the signature now.
    r.release();
    s.release();
    unsigned char* der = nullptr;
    size = i2d_ECDSA_SIG(sig.get(), &der);
    if (size <= 0) return nullptr;
    return Owned<unsigned char>(der);
}

class OpenSslCrypto : public ICrypto {
public:
    std::unique_ptr<ISha256> NewSha256() override {
        const ErrorQueueGuard guard;
        Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return nullptr;
        return std::make_unique<OpenSslSha256>(std::move(context));
    }

    bool VerifyP256(const P256PublicKey& key, const void* message, std::size_t size,
                    const P256Signature& signature) override {
        const ErrorQueueGuard guard;
        const Owned<EVP_PKEY> pkey = PublicKey(key);
        if (!pkey) return false;
        int derSize = 0;
        const Owned<unsigned char> der = DerSignature(signature, derSize);
        if (!der) return false;
        const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
        if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1)
            return false;
        static const unsigned char kNothing = 0;
        const auto* bytes = size != 0 ? static_cast<const unsigned char*>(message) : &kNothing;
        return EVP_DigestVerify(context.get(), der.get(), static_cast<std::size_t>(derSize), bytes, size) == 1;
    }
};

}  // namespace

std::unique_ptr<ICrypto> CreateCrypto() { return std::make_unique<OpenSslCrypto>(); }

}  // namespace rl
