// The cryptography port over CNG (bcrypt.dll, every Windows since Vista):
// SHA-256 through a hash object, ECDSA P-256 verification of the SHA-256 of
// the message with a key imported from the raw point. Every failure of the
// system is false (or a null hasher).
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Crypto.h"

namespace rl {
namespace {

constexpr NTSTATUS kStatusSuccess = 0;

// An algorithm provider, shared by the adapter and the hashers it made, which
// may outlive it.
class Provider {
public:
    explicit Provider(LPCWSTR algorithm) {
        if (BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0) != kStatusSuccess) handle_ = nullptr;
    }
    ~Provider() {
        if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE Handle() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class CngSha256 : public ISha256 {
public:
    explicit CngSha256(std::shared_ptr<const Provider> provider) : provider_(std::move(provider)) {
        // Vista wants the caller's memory for the hash object (7 would make its own).
        DWORD objectSize = 0;
        ULONG written = 0;
        if (BCryptGetProperty(provider_->Handle(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                              sizeof(objectSize), &written, 0) != kStatusSuccess ||
            written != sizeof(objectSize))
            return;
        object_.resize(objectSize);
        if (BCryptCreateHash(provider_->Handle(), &hash_, object_.data(), objectSize, nullptr, 0, 0) !=
            kStatusSuccess)
            hash_ = nullptr;
    }
    ~CngSha256() override {
        if (hash_ != nullptr) BCryptDestroyHash(hash_);
    }
    CngSha256(const CngSha256&) = delete;
    CngSha256& operator=(const CngSha256&) = delete;

    bool Ready() const { return hash_ != nullptr; }

    void Update(const void* data, std::size_t size) override {
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
        while (hash_ != nullptr && !failed_ && size > 0) {
            const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
            if (BCryptHashData(hash_, bytes, chunk, 0) != kStatusSuccess) failed_ = true;
            bytes += chunk;
            size -= chunk;
        }
    }

    // A failing system gives all zeros: no data hashes to that, so it
    // matches no signed digest.
    Sha256Digest Finish() override {
        Sha256Digest digest{};
        if (hash_ == nullptr) return digest;
        if (failed_ || BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0) != kStatusSuccess)
            digest.fill(0);
        BCryptDestroyHash(hash_);
        hash_ = nullptr;
        return digest;
    }

private:
    std::shared_ptr<const Provider> provider_;
    std::vector<UCHAR> object_;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    bool failed_ = false;
};

class Key {
public:
    Key() = default;
    ~Key() {
        if (handle != nullptr) BCryptDestroyKey(handle);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    BCRYPT_KEY_HANDLE handle = nullptr;
};

class CngCrypto : public ICrypto {
public:
    std::unique_ptr<ISha256> NewSha256() override {
        if (sha256_->Handle() == nullptr) return nullptr;
        auto hash = std::make_unique<CngSha256>(sha256_);
        if (!hash->Ready()) return nullptr;
        return hash;
    }

    bool VerifyP256(const P256PublicKey& key, const void* message, std::size_t size,
                    const P256Signature& signature) override {
        if (ecdsa_->Handle() == nullptr) return false;
        const std::unique_ptr<ISha256> hash = NewSha256();
        if (!hash) return false;
        hash->Update(message, size);
        Sha256Digest digest = hash->Finish();

        // Windows refuses a point off the curve at the import.
        BCRYPT_ECCKEY_BLOB header{};
        header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        header.cbKey = 32;
        UCHAR blob[sizeof(header) + sizeof(P256PublicKey)];
        std::memcpy(blob, &header, sizeof(header));
        std::memcpy(blob + sizeof(header), key.data(), key.size());
        Key imported;
        if (BCryptImportKeyPair(ecdsa_->Handle(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported.handle, blob,
                                sizeof(blob), 0) != kStatusSuccess) {
            imported.handle = nullptr;
            return false;
        }
        P256Signature copy = signature;
        return BCryptVerifySignature(imported.handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                     copy.data(), static_cast<ULONG>(copy.size()), 0) == kStatusSuccess;
    }

private:
    std::shared_ptr<const Provider> sha256_ = std::make_shared<Provider>(BCRYPT_SHA256_ALGORITHM);
    std::shared_ptr<const Provider> ecdsa_ = std::make_shared<Provider>(BCRYPT_ECDSA_P256_ALGORITHM);
};

}  // namespace

std::unique_ptr<ICrypto> CreateCrypto() { return std::make_unique<CngCrypto>(); }

}  // namespace rl
