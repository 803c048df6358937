// Verification of an update artifact: the SHA-256 digest of the file and a detached 64-byte
// Ed25519 signature over the raw 32-byte digest, checked against the update-signing public key
// built into the program. Compiled into both the updater and the engine. Keeps no state
// between calls, logs nothing, throws nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tallowmarch::update {

// Result codes. There is no code 2.
inline constexpr int kArtifactValid = 0;
inline constexpr int kArtifactUnreadable = 1;  // not hashed: cannot open or read, or hashing failed
inline constexpr int kArtifactBadArgument = 3;  // no data, or a signature not exactly 64 bytes
inline constexpr int kArtifactSignatureInvalid = 4;

inline constexpr size_t kDigestBytes = 32;
inline constexpr size_t kSignatureBytes = 64;
inline constexpr size_t kPublicKeyBytes = 32;
inline constexpr size_t kHexDigestChars = 65;  // 64 hex characters and a NUL

// The keystream value for one key position; its low byte masks that byte of the key.
std::uint32_t UpdateKeyStreamByte(std::uint32_t seed, std::uint32_t index);
// Rebuilds the built-in public key byte by byte from its masked form.
void UnmaskPublicKey(std::uint8_t out[kPublicKeyBytes]);
inline void GetUpdatePublicKey(std::uint8_t out[kPublicKeyBytes]) {
  UnmaskPublicKey(out);
}

bool Sha256Buffer(const void* data, std::uint32_t length, std::uint8_t digest[kDigestBytes]);
// Reads the file in pieces of 65536 bytes. The path is used as it is.
bool Sha256File(const std::wstring& path, std::uint8_t digest[kDigestBytes]);

// Writes 2 x length lowercase hex characters and a NUL.
void HexEncode(const std::uint8_t* data, size_t length, char* out);

// The Ed25519 check itself (RFC 8032, SHA-512): 0 for a valid signature, -1 otherwise.
int Ed25519Check(const std::uint8_t signature[kSignatureBytes],
                 const std::uint8_t publicKey[kPublicKeyBytes], const std::uint8_t* message,
                 size_t messageSize);

// False when the program was built without an update-signing key of its own: every
// signature is then invalid.
bool UpdateKeyConfigured();

// Writes the hex digest first when hexOut holds at least 65 bytes (even when the signature is
// then rejected), then checks the signature with the built-in key: 0, 3 or 4.
int VerifyDigestSignature(const std::uint8_t digest[kDigestBytes], const std::uint8_t* signature,
                          size_t signatureLength, char* hexOut, size_t hexOutChars);
// The same check against a key the caller gives.
int VerifyDigestSignatureWithKey(const std::uint8_t digest[kDigestBytes],
                                 const std::uint8_t* signature, size_t signatureLength,
                                 char* hexOut, size_t hexOutChars,
                                 const std::uint8_t publicKey[kPublicKeyBytes]);

// Sha256File; on failure 1 with nothing written to hexOut; else VerifyDigestSignature.
int VerifyArtifactFile(const std::wstring& path, const std::uint8_t* signature,
                       size_t signatureLength, char* hexOut, size_t hexOutChars);
// Null or empty data: 3 at once, nothing hashed or written. Hashing failure: 1.
int VerifyArtifactBuffer(const std::uint8_t* data, size_t length, const std::uint8_t* signature,
                         size_t signatureLength, char* hexOut, size_t hexOutChars);

}  // namespace tallowmarch::update
