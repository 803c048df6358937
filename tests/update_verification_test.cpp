#include "update_verification.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tallowmarch::update {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string HexOf(const std::vector<std::uint8_t>& bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  HexEncode(bytes.data(), bytes.size(), out.data());
  out.pop_back();
  return out;
}

// The test signing key that belongs to the built-in public key.
struct TestKey {
  EVP_PKEY* key = nullptr;
  TestKey() {
    FILE* file = std::fopen(TALLOWMARCH_TEST_DATA "/update_signing_test_key.pem", "r");
    if (file != nullptr) {
      key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
      std::fclose(file);
    }
  }
  ~TestKey() { EVP_PKEY_free(key); }
  std::vector<std::uint8_t> Sign(const std::uint8_t* message, size_t size) const {
    std::vector<std::uint8_t> sig(64);
    size_t sigSize = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, sig.data(), &sigSize, message, size);
    EVP_MD_CTX_free(ctx);
    return sig;
  }
  std::vector<std::uint8_t> PublicKey() const {
    std::vector<std::uint8_t> pub(32);
    size_t size = pub.size();
    EVP_PKEY_get_raw_public_key(key, pub.data(), &size);
    return pub;
  }
};

struct Rfc8032Vector {
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1, 2, 3 and SHA(abc).
const Rfc8032Vector kVectors[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e397"
     "01cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f361"
     "3d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f76"
     "0984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c2"
     "3a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c"
     "66431e0303dca179c138ac17ad9bef1177331a704"},
};

TEST(Ed25519, Rfc8032VectorsVerifyAndTamperedOnesDoNot) {
  for (const Rfc8032Vector& v : kVectors) {
    const auto key = FromHex(v.publicKey);
    const auto message = FromHex(v.message);
    auto signature = FromHex(v.signature);
    EXPECT_EQ(Ed25519Check(signature.data(), key.data(), message.data(), message.size()), 0)
        << v.publicKey;
    signature[10] ^= 0x01;
    EXPECT_EQ(Ed25519Check(signature.data(), key.data(), message.data(), message.size()), -1);
    signature[10] ^= 0x01;
    auto otherMessage = message;
    otherMessage.push_back(0);
    EXPECT_EQ(Ed25519Check(signature.data(), key.data(), otherMessage.data(), otherMessage.size()),
              -1);
  }
}

TEST(Sha256, StandardVectors) {
  struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> digest(32);
    ASSERT_TRUE(
        Sha256Buffer(c.input.data(), static_cast<std::uint32_t>(c.input.size()), digest.data()));
    EXPECT_EQ(HexOf(digest), c.digest);
  }
}

class ArtifactFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("tm_verify_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::wstring Write(const std::string& name, const std::string& bytes) {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.wstring();
  }
  std::vector<std::uint8_t> SignFile(const std::string& bytes) {
    std::uint8_t digest[32];
    Sha256Buffer(bytes.data(), static_cast<std::uint32_t>(bytes.size()), digest);
    return key.Sign(digest, 32);
  }

  std::filesystem::path dir;
  TestKey key;
};

TEST_F(ArtifactFiles, BuiltInKeyIsTheTestKeysPublicHalf) {
  ASSERT_NE(key.key, nullptr);
  std::uint8_t builtIn[32];
  GetUpdatePublicKey(builtIn);
  EXPECT_EQ(std::vector<std::uint8_t>(builtIn, builtIn + 32), key.PublicKey());
}

TEST_F(ArtifactFiles, SignedFileVerifiesAndOneFlippedBitIsRejected) {
  // More than one 64 KiB read piece, not a multiple of it.
  std::string content(200000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 3);
  const std::wstring path = Write("update.zip", content);
  auto sig = SignFile(content);
  char hex[65];
  EXPECT_EQ(VerifyArtifactFile(path, sig.data(), sig.size(), hex, sizeof hex), kArtifactValid);
  std::uint8_t digest[32];
  Sha256Buffer(content.data(), static_cast<std::uint32_t>(content.size()), digest);
  char expected[65];
  HexEncode(digest, 32, expected);
  EXPECT_STREQ(hex, expected);

  sig[63] ^= 0x80;
  std::memset(hex, 'Z', sizeof hex);
  EXPECT_EQ(VerifyArtifactFile(path, sig.data(), sig.size(), hex, sizeof hex),
            kArtifactSignatureInvalid);
  EXPECT_STREQ(hex, expected);  // the digest still comes back

  // The same bytes from memory.
  sig[63] ^= 0x80;
  EXPECT_EQ(VerifyArtifactBuffer(reinterpret_cast<const std::uint8_t*>(content.data()),
                                 content.size(), sig.data(), sig.size(), nullptr, 0),
            kArtifactValid);
}

TEST_F(ArtifactFiles, HexBufferRulesAndSignatureLengths) {
  const std::string content = "tallowmarch";
  const std::wstring path = Write("a.bin", content);
  const auto sig = SignFile(content);
  std::uint8_t digest[32];
  Sha256Buffer(content.data(), static_cast<std::uint32_t>(content.size()), digest);
  char expected[65];
  HexEncode(digest, 32, expected);

  // 65 bytes: 64 characters and the NUL at index 64, even with a bad signature length.
  for (size_t length : {size_t{0}, size_t{63}, size_t{65}, size_t{128}}) {
    char hex[70];
    std::memset(hex, 'Z', sizeof hex);
    EXPECT_EQ(VerifyArtifactFile(path, sig.data(), length, hex, 65), kArtifactBadArgument);
    EXPECT_EQ(std::string(hex, 64), expected);
    EXPECT_EQ(hex[64], '\0');
    EXPECT_EQ(hex[65], 'Z');
  }
  // 64 bytes or fewer: untouched.
  char small[64];
  std::memset(small, 'Z', sizeof small);
  EXPECT_EQ(VerifyArtifactFile(path, sig.data(), sig.size(), small, sizeof small), kArtifactValid);
  EXPECT_EQ(std::string(small, sizeof small), std::string(64, 'Z'));
  // A null signature is a bad argument too.
  EXPECT_EQ(VerifyArtifactFile(path, nullptr, 64, nullptr, 0), kArtifactBadArgument);
}

TEST_F(ArtifactFiles, EmptyAndMissingInputs) {
  const auto sigOfEmpty = SignFile("");
  char hex[65];
  std::memset(hex, 'Z', sizeof hex);
  // An empty file hashes to the empty string's digest and goes through the check.
  EXPECT_EQ(VerifyArtifactFile(Write("empty", ""), sigOfEmpty.data(), 64, hex, sizeof hex),
            kArtifactValid);
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // Missing file: 1, hex untouched. A folder cannot be read either.
  std::memset(hex, 'Z', sizeof hex);
  EXPECT_EQ(
      VerifyArtifactFile((dir / "missing.zip").wstring(), sigOfEmpty.data(), 64, hex, sizeof hex),
      kArtifactUnreadable);
  EXPECT_EQ(std::string(hex, sizeof hex), std::string(65, 'Z'));
  EXPECT_EQ(VerifyArtifactFile(dir.wstring(), sigOfEmpty.data(), 64, nullptr, 0),
            kArtifactUnreadable);
  // Nor a FIFO, which a plain open would wait on for ever (no writer ever comes).
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(VerifyArtifactFile((dir / "fifo").wstring(), sigOfEmpty.data(), 64, nullptr, 0),
            kArtifactUnreadable);

  // An empty buffer is a bad argument even with a signature of the right length.
  const std::uint8_t byte = 0;
  EXPECT_EQ(VerifyArtifactBuffer(&byte, 0, sigOfEmpty.data(), 64, hex, sizeof hex),
            kArtifactBadArgument);
  EXPECT_EQ(std::string(hex, sizeof hex), std::string(65, 'Z'));
  EXPECT_EQ(VerifyArtifactBuffer(nullptr, 10, sigOfEmpty.data(), 64, hex, sizeof hex),
            kArtifactBadArgument);
}

TEST(KeyMasking, GeneratorScriptAndProgramAgree) {
  // Mask a known key with the script, then unmask it the way the program does.
  const std::string key = "0123456789abcdeffedcba98765432100f1e2d3c4b5a69788796a5b4c3d2e1f0";
  const std::string command =
      "python3 " TALLOWMARCH_SOURCE_DIR "/updater/mask_public_key.py " + key + " --seed=0xC0FFEE11";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  ASSERT_EQ(pclose(pipe), 0) << text;
  ASSERT_NE(text.find("0xc0ffee11u"), std::string::npos) << text;
  std::vector<std::uint8_t> masked;
  for (size_t at = text.find("0x", text.find("[32] = {")); at != std::string::npos;
       at = text.find("0x", at + 4)) {
    masked.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
  }
  ASSERT_EQ(masked.size(), 32u);
  const auto plain = FromHex(key);
  for (std::uint32_t i = 0; i < 32; ++i) {
    EXPECT_EQ(masked[i] ^ (UpdateKeyStreamByte(0xC0FFEE11u, i) & 0xFF), plain[i]) << i;
  }
  // The masked form differs from the key: it is not stored in plain form.
  EXPECT_NE(masked, plain);
}

}  // namespace
}  // namespace tallowmarch::update
