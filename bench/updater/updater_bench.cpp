// Applies an update of 2000 files (200 MB) over an install folder holding the previous version
// of every one of them, and reports the wall time of each stage, the whole apply by the real
// program, and SHA-256 throughput against the sha256sum tool on the same archive.
//
// Usage: updater_bench [--folder DIR] [--runs N]   (default: the system's temporary folder, 3)
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "apply_update.h"
#include "common/wide_text.h"
#include "long_path_files.h"
#include "update_verification.h"
#include "zip_staging.h"

namespace fs = std::filesystem;
using namespace tallowmarch;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFiles = 2000;
constexpr size_t kTotalBytes = 200 * 1000 * 1000;

double Ms(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// Content that compresses about as well as program files do (roughly 2:1).
std::string FileContent(std::mt19937& random, size_t size, char version) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i += 4) {
    const std::uint32_t r = random();
    for (size_t k = 0; k < 4 && i + k < size; ++k)
      data[i + k] = "abcdefghijklmnop"[(r >> (k * 4)) & 15];
  }
  data[0] = version;
  return data;
}

void Write(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string RelativeName(int i) {
  return "dir" + std::to_string(i % 20) + "/file" + std::to_string(i) + ".bin";
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::uint8_t> Sign(const std::vector<std::uint8_t>& zip) {
  unsigned char digest[32];
  unsigned int size = 0;
  EVP_Digest(zip.data(), zip.size(), digest, &size, EVP_sha256(), nullptr);
  FILE* file = std::fopen(TALLOWMARCH_SOURCE_DIR "/tests/data/update_signing_test_key.pem", "r");
  EVP_PKEY* key = file != nullptr ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
  if (file != nullptr) std::fclose(file);
  std::vector<std::uint8_t> signature(64);
  size_t length = signature.size();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (key == nullptr || EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(ctx, signature.data(), &length, digest, 32) != 1) {
    std::fprintf(stderr, "signing failed\n");
    std::exit(1);
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return signature;
}

// Builds the previous version in `install` and the archive of the next one.
void Prepare(const fs::path& root) {
  std::mt19937 random(12345);
  const size_t each = kTotalBytes / kFiles;
  fs::remove_all(root);
  Write(root / "install/Tallowmarch.exe", "previous program");
  for (int i = 0; i < kFiles; ++i) {
    Write(root / "install" / RelativeName(i), FileContent(random, each, '1'));
    Write(root / "next" / RelativeName(i), FileContent(random, each, '2'));
  }
  int error = 0;
  zip_t* archive = zip_open((root / "u.zip").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = RelativeName(i);
    zip_source_t* source = zip_source_file(archive, (root / "next" / name).c_str(), 0, -1);
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
  }
  if (zip_close(archive) != 0) {
    std::fprintf(stderr, "zip failed\n");
    std::exit(1);
  }
  fs::remove_all(root / "next");
  const auto zip = ReadAll(root / "u.zip");
  const auto signature = Sign(zip);
  std::ofstream(root / "u.sig", std::ios::binary)
      .write(reinterpret_cast<const char*>(signature.data()), 64);
  char hex[65];
  unsigned char digest[32];
  unsigned int size = 0;
  EVP_Digest(zip.data(), zip.size(), digest, &size, EVP_sha256(), nullptr);
  update::HexEncode(digest, 32, hex);
  std::ofstream(root / "u.sha256") << hex;
}

// Puts the previous version back after a run: the backups were deleted, so rebuild.
void ResetInstall(const fs::path& root) {
  std::mt19937 random(12345);
  const size_t each = kTotalBytes / kFiles;
  for (int i = 0; i < kFiles; ++i) {
    Write(root / "install" / RelativeName(i), FileContent(random, each, '1'));
    FileContent(random, each, '2');  // keep the sequence the same as Prepare's
  }
}

double Seconds(const char* command) {
  const auto start = Clock::now();
  if (std::system(command) != 0) std::fprintf(stderr, "command failed: %s\n", command);
  return Ms(start) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path folder = fs::temp_directory_path();
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--folder") folder = argv[i + 1];
    if (std::string(argv[i]) == "--runs") runs = std::atoi(argv[i + 1]);
  }
  const fs::path root = folder / "tm_updater_bench";
  std::printf("preparing %d files, %zu bytes, in %s\n", kFiles, kTotalBytes, root.c_str());
  Prepare(root);
  std::printf("archive: %ju bytes\n", static_cast<std::uintmax_t>(fs::file_size(root / "u.zip")));
  std::string digestText;
  std::ifstream(root / "u.sha256") >> digestText;

  updater::UpdaterOptions options;
  options.zipPath = Widen((root / "u.zip").string());
  options.sigPath = Widen((root / "u.sig").string());
  options.expectedSha256 = Widen(digestText);
  options.targetDir = Widen((root / "install").string());
  const std::wstring installDir = updater::FullPath(options.targetDir);

  for (int run = 0; run < runs; ++run) {
    if (run > 0) ResetInstall(root);
    // The stages, one by one, as the apply runs them.
    auto t = Clock::now();
    updater::ByteBuffer zip;
    updater::ReadFileCapped(options.zipPath, zip, updater::kMaxZipBytes);
    const double readMs = Ms(t);
    t = Clock::now();
    updater::ByteBuffer signature;
    updater::ReadFileCapped(options.sigPath, signature, 1024);
    char hex[65] = {};
    const int verdict = update::VerifyArtifactBuffer(zip.data(), zip.size(), signature.data(),
                                                     signature.size(), hex, sizeof hex);
    const double verifyMs = Ms(t);
    t = Clock::now();
    std::vector<updater::StagedEntry> entries;
    const bool staged =
        updater::ExtractToStaging(zip.span(), installDir + L"/pending", installDir, entries);
    const double stageMs = Ms(t);
    zip.Clear();
    t = Clock::now();
    for (const auto& entry : entries) updater::CopyWithRetry(entry.targetPath, entry.backupPath);
    updater::FlushVolume(installDir);  // as the apply does before the first swap
    const double backupMs = Ms(t);
    t = Clock::now();
    std::uint32_t error = 0;
    for (const auto& entry : entries)
      updater::MoveWithRetry(entry.stagedPath, entry.targetPath, error);
    const double swapMs = Ms(t);
    t = Clock::now();
    updater::DeleteBackups(entries);
    updater::RemoveTree(installDir + L"/pending");
    const double deleteMs = Ms(t);
    std::printf(
        "run %d stages: read %.0f ms, verify %.0f ms (result %d), stage %.0f ms (%zu files, %s), "
        "backup %.0f ms, swap %.0f ms, delete backups %.0f ms; sum %.0f ms\n",
        run + 1, readMs, verifyMs, verdict, stageMs, entries.size(), staged ? "ok" : "FAILED",
        backupMs, swapMs, deleteMs, readMs + verifyMs + stageMs + backupMs + swapMs + deleteMs);

    // The whole apply by the program itself.
    ResetInstall(root);
    const std::string command = std::string(TALLOWMARCH_UPDATER) + " --zip " +
                                (root / "u.zip").string() + " --sig " + (root / "u.sig").string() +
                                " --expected-sha256 " + digestText + " --target " +
                                (root / "install").string() + " 2>/dev/null";
    std::printf("run %d whole apply (tallowmarch_updater): %.2f s\n", run + 1,
                Seconds(command.c_str()));

    // Hashing: OpenSSL over the archive in memory against sha256sum over the cached file.
    const auto bytes = ReadAll(root / "u.zip");
    std::uint8_t digest[32];
    t = Clock::now();
    update::Sha256Buffer(bytes.data(), static_cast<std::uint32_t>(bytes.size()), digest);
    const double oursS = Ms(t) / 1000.0;
    const std::string sum = "sha256sum " + (root / "u.zip").string() + " >/dev/null";
    const double toolS = Seconds(sum.c_str());
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf("run %d hashing: ours %.0f MB/s, sha256sum %.0f MB/s, ratio %.2f\n", run + 1,
                mb / oursS, mb / toolS, toolS / oursS);
  }
  fs::remove_all(root);
  return 0;
}
