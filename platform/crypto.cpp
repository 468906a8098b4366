#include "platform/crypto.h"

#include <openssl/evp.h>

#include "platform/library.h"

namespace kaz::platform::crypto {
namespace {

// libcrypto is opened on first use: linked, its relocation alone would cost every start more
// than most scripts spend on digests.
#define KAZ_CRYPTO_FUNCTIONS(X)                                                                    \
    X(EVP_DigestFinal_ex) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_MD_CTX_free)               \
    X(EVP_MD_CTX_new) X(EVP_md5) X(EVP_sha1) X(EVP_sha256) X(EVP_sha384) X(EVP_sha512)
KAZ_CRYPTO_FUNCTIONS(KAZ_LIBRARY_POINTER)

KAZ_LIBRARY_LOADER(crypto_loaded, "libcrypto.so.3", KAZ_CRYPTO_FUNCTIONS)

const EVP_MD* method_of(Algorithm a) {
    switch (a) {
    case Algorithm::md5: return EVP_md5();
    case Algorithm::sha1: return EVP_sha1();
    case Algorithm::sha256: return EVP_sha256();
    case Algorithm::sha384: return EVP_sha384();
    case Algorithm::sha512: return EVP_sha512();
    }
    return nullptr;
}

EVP_MD_CTX* context(void* p) { return static_cast<EVP_MD_CTX*>(p); }

}  // namespace

// Without the library every hash fails as a failed digest does.
Hash::Hash(Algorithm algorithm)
    : algorithm_(algorithm), context_(crypto_loaded() ? EVP_MD_CTX_new() : nullptr) {
    if (context_ && EVP_DigestInit_ex(context(context_), method_of(algorithm), nullptr) != 1) {
        EVP_MD_CTX_free(context(context_));
        context_ = nullptr;
    }
}

Hash::~Hash() {
    if (context_) EVP_MD_CTX_free(context(context_));
}

void Hash::update(std::span<const uint8_t> bytes) {
    if (!context_ || bytes.empty()) return;
    if (EVP_DigestUpdate(context(context_), bytes.data(), bytes.size()) != 1) {
        EVP_MD_CTX_free(context(context_));
        context_ = nullptr;
    }
}

bool Hash::finish(Digest& out) {
    if (!context_) return false;
    unsigned int size = 0;
    bool ok = EVP_DigestFinal_ex(context(context_), out.bytes, &size) == 1 &&
              size == digest_size(algorithm_);
    EVP_MD_CTX_free(context(context_));
    context_ = nullptr;
    out.size = ok ? size : 0;
    return ok;
}

bool digest(Algorithm algorithm, std::span<const uint8_t> bytes, Digest& out) {
    Hash h(algorithm);
    h.update(bytes);
    return h.finish(out);
}

}  // namespace kaz::platform::crypto
