#include "update_verification.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "common/wide_text.h"
#include "update_public_key.inc"

namespace tallowmarch::update {
namespace {

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

MdCtx NewSha256() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) ctx.reset();
  return ctx;
}

bool Finish(EVP_MD_CTX* ctx, std::uint8_t digest[kDigestBytes]) {
  unsigned int size = 0;
  return EVP_DigestFinal_ex(ctx, digest, &size) == 1 && size == kDigestBytes;
}

// Closes a file descriptor on every way out.
struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::uint32_t UpdateKeyStreamByte(std::uint32_t seed, std::uint32_t index) {
  std::uint32_t x = seed ^ (index * 0x9E3779B9u);
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

void UnmaskPublicKey(std::uint8_t out[kPublicKeyBytes]) {
  for (std::uint32_t i = 0; i < kPublicKeyBytes; ++i) {
    out[i] = static_cast<std::uint8_t>(kMaskedUpdatePublicKey[i] ^
                                       (UpdateKeyStreamByte(kUpdatePublicKeySeed, i) & 0xFF));
  }
}

bool Sha256Buffer(const void* data, std::uint32_t length, std::uint8_t digest[kDigestBytes]) {
  MdCtx ctx = NewSha256();
  if (!ctx) return false;
  if (EVP_DigestUpdate(ctx.get(), data, length) != 1) return false;
  return Finish(ctx.get(), digest);
}

bool Sha256File(const std::wstring& path, std::uint8_t digest[kDigestBytes]) {
  const std::string narrow = Narrow(path);
  // Never blocks on opening (a FIFO would), and hashes only a regular file.
  FileCloser file{open(narrow.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return false;
  struct stat st {};
  if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  MdCtx ctx = NewSha256();
  if (!ctx) return false;
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    const ssize_t got = read(file.fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // a read error, or a folder in place of a file
    }
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) != 1) return false;
  }
  return Finish(ctx.get(), digest);
}

void HexEncode(const std::uint8_t* data, size_t length, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  out[2 * length] = '\0';
}

int Ed25519Check(const std::uint8_t signature[kSignatureBytes],
                 const std::uint8_t publicKey[kPublicKeyBytes], const std::uint8_t* message,
                 size_t messageSize) {
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, kPublicKeyBytes));
  if (!key) return -1;
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return -1;
  // Ed25519 is one-shot: no digest is named, the whole message goes in at once.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return -1;
  const int ok = EVP_DigestVerify(ctx.get(), signature, kSignatureBytes, message, messageSize);
  return ok == 1 ? 0 : -1;
}

int VerifyDigestSignatureWithKey(const std::uint8_t digest[kDigestBytes],
                                 const std::uint8_t* signature, size_t signatureLength,
                                 char* hexOut, size_t hexOutChars,
                                 const std::uint8_t publicKey[kPublicKeyBytes]) {
  if (hexOut != nullptr && hexOutChars >= kHexDigestChars) HexEncode(digest, kDigestBytes, hexOut);
  if (signature == nullptr || signatureLength != kSignatureBytes) return kArtifactBadArgument;
  return Ed25519Check(signature, publicKey, digest, kDigestBytes) == 0 ? kArtifactValid
                                                                       : kArtifactSignatureInvalid;
}

bool UpdateKeyConfigured() {
  return kUpdatePublicKeyConfigured;
}

int VerifyDigestSignature(const std::uint8_t digest[kDigestBytes], const std::uint8_t* signature,
                          size_t signatureLength, char* hexOut, size_t hexOutChars) {
  if (!kUpdatePublicKeyConfigured) {
    // A build without a key of its own trusts no signature at all.
    if (hexOut != nullptr && hexOutChars >= kHexDigestChars) {
      HexEncode(digest, kDigestBytes, hexOut);
    }
    if (signature == nullptr || signatureLength != kSignatureBytes) return kArtifactBadArgument;
    return kArtifactSignatureInvalid;
  }
  std::uint8_t key[kPublicKeyBytes];
  UnmaskPublicKey(key);  // rebuilt on every check; nothing keeps it
  const int result =
      VerifyDigestSignatureWithKey(digest, signature, signatureLength, hexOut, hexOutChars, key);
  OPENSSL_cleanse(key, sizeof key);
  return result;
}

int VerifyArtifactFile(const std::wstring& path, const std::uint8_t* signature,
                       size_t signatureLength, char* hexOut, size_t hexOutChars) {
  std::uint8_t digest[kDigestBytes];
  if (!Sha256File(path, digest)) return kArtifactUnreadable;
  return VerifyDigestSignature(digest, signature, signatureLength, hexOut, hexOutChars);
}

int VerifyArtifactBuffer(const std::uint8_t* data, size_t length, const std::uint8_t* signature,
                         size_t signatureLength, char* hexOut, size_t hexOutChars) {
  if (data == nullptr || length == 0) return kArtifactBadArgument;
  // The one-call hash takes a 32-bit length; the updater caps archives far below that.
  if (length > UINT32_MAX) return kArtifactUnreadable;
  std::uint8_t digest[kDigestBytes];
  if (!Sha256Buffer(data, static_cast<std::uint32_t>(length), digest)) return kArtifactUnreadable;
  return VerifyDigestSignature(digest, signature, signatureLength, hexOut, hexOutChars);
}

}  // namespace tallowmarch::update
