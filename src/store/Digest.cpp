#include "Digest.h"

#include <new>
#include <openssl/evp.h>
#include <stdexcept>

namespace store {
namespace {

void Check(int done) {
    if (done != 1)
        throw std::runtime_error("The SHA-256 of the bytes could not be computed");
}

EVP_MD_CTX* NewContext() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context)
        throw std::bad_alloc();
    return context;
}

} // namespace

void DigestSink::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

DigestSink::DigestSink(bool hashing) {
    if (!hashing)
        return;
    context_.reset(NewContext());
    Check(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr));
}

DigestSink::~DigestSink() = default;

void DigestSink::write(const char* data, qint64 count) {
    if (context_ && count > 0)
        Check(EVP_DigestUpdate(context_.get(), data, static_cast<size_t>(count)));
    size_ += count;
}

// From a copy, so that the sum can be taken again and the bytes go on.
ContentDigest DigestSink::result() const {
    if (!context_)
        return {size_, QByteArray()};
    const std::unique_ptr<EVP_MD_CTX, Free> copy(NewContext());
    Check(EVP_MD_CTX_copy_ex(copy.get(), context_.get()));
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Check(EVP_DigestFinal_ex(copy.get(), sum, &length));
    return {size_,
            QByteArray(reinterpret_cast<const char*>(sum), static_cast<qsizetype>(length)).toHex()};
}

} // namespace store
