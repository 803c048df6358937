#include "updater_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>

extern char** environ;

namespace tallowmarch::test {
namespace {

void Put16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

Bytes Deflate(const Bytes& data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  Bytes out(deflateBound(&stream, data.size()) + 16);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

TempDir::TempDir() : TempDir(fs::temp_directory_path()) {}

TempDir::TempDir(const fs::path& base) {
  static std::mt19937_64 random{std::random_device{}()};
  for (;;) {
    path_ = base / ("tm_updater_test_" + std::to_string(getpid()) + "_" +
                    std::to_string(random() % 1000000000));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Clear immutable flags first, or the removal would leave the folder behind.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_symlink()) SetImmutable(it->path(), false);
  }
  fs::remove_all(path_, ec);
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), root).string();
    if (relative == ".update-lock") continue;  // the install folder's lock is never deleted
    if (it->is_symlink()) {
      out[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      out[relative] = ReadFile(it->path());
    } else if (it->is_directory()) {
      out[relative + "/"] = "";
    } else if (it->is_fifo()) {
      out[relative] = "<fifo>";
    }
  }
  return out;
}

Bytes MakeZip(const std::vector<ZipItem>& items) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("zip_open_from_source");
  zip_source_keep(buffer);
  for (const ZipItem& item : items) {
    zip_int64_t index;
    if (item.directory) {
      index = zip_dir_add(archive, item.name.c_str(), ZIP_FL_ENC_RAW);
    } else {
      // libzip takes (and frees) a copy; an empty entry has no buffer to take.
      char* copy = nullptr;
      if (!item.data.empty()) {
        copy = static_cast<char*>(malloc(item.data.size()));
        std::memcpy(copy, item.data.data(), item.data.size());
      }
      zip_source_t* data = zip_source_buffer(archive, copy, item.data.size(), copy != nullptr);
      index = zip_file_add(archive, item.name.c_str(), data, ZIP_FL_ENC_RAW | ZIP_FL_OVERWRITE);
      if (index < 0) zip_source_free(data);
    }
    if (index < 0) throw std::runtime_error("zip add " + item.name);
    if (item.mode != 0) {
      zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       item.mode << 16);
    }
  }
  if (zip_close(archive) != 0) throw std::runtime_error("zip_close");
  zip_stat_t stat;
  zip_source_stat(buffer, &stat);
  Bytes out(stat.size);
  zip_source_open(buffer);
  zip_source_read(buffer, out.data(), out.size());
  zip_source_close(buffer);
  zip_source_free(buffer);
  zip_error_fini(&error);
  return out;
}

Bytes MakeRawZip(const std::vector<RawEntry>& entries, std::optional<std::uint16_t> declaredCount) {
  Bytes out;
  Bytes central;
  for (const RawEntry& entry : entries) {
    const Bytes stored = entry.deflate ? Deflate(entry.data) : entry.data;
    const std::uint32_t crc =
        entry.crc ? *entry.crc
                  : static_cast<std::uint32_t>(
                        crc32(0, entry.data.data(), static_cast<uInt>(entry.data.size())));
    const std::uint32_t size =
        entry.declaredSize ? *entry.declaredSize : static_cast<std::uint32_t>(entry.data.size());
    const std::uint16_t method = entry.deflate ? 8 : 0;
    const std::uint16_t flags = entry.encrypted ? 1 : 0;
    const auto offset = static_cast<std::uint32_t>(out.size());
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, flags);
    Put16(out, method);
    Put16(out, 0);
    Put16(out, 0x21);
    Put32(out, crc);
    Put32(out, static_cast<std::uint32_t>(stored.size()));
    Put32(out, size);
    Put16(out, static_cast<std::uint16_t>(entry.name.size()));
    Put16(out, 0);
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    out.insert(out.end(), stored.begin(), stored.end());

    Put32(central, 0x02014b50);
    Put16(central, static_cast<std::uint16_t>((entry.madeBy << 8) | 20));
    Put16(central, 20);
    Put16(central, flags);
    Put16(central, method);
    Put16(central, 0);
    Put16(central, 0x21);
    Put32(central, crc);
    Put32(central, static_cast<std::uint32_t>(stored.size()));
    Put32(central, size);
    Put16(central, static_cast<std::uint16_t>(entry.name.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, entry.externalAttributes);
    Put32(central, offset);
    central.insert(central.end(), entry.name.begin(), entry.name.end());
  }
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  out.insert(out.end(), central.begin(), central.end());
  const std::uint16_t count =
      declaredCount ? *declaredCount : static_cast<std::uint16_t>(entries.size());
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, count);
  Put16(out, count);
  Put32(out, static_cast<std::uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
}

std::string Sha256Hex(const Bytes& bytes) {
  unsigned char digest[32];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

Bytes SignWithTestKey(const Bytes& bytes) {
  unsigned char digest[32];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  FILE* file = std::fopen(TALLOWMARCH_TEST_DATA "/update_signing_test_key.pem", "r");
  if (file == nullptr) throw std::runtime_error("test key missing");
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr) throw std::runtime_error("test key unreadable");
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Bytes signature(64);
  size_t length = signature.size();
  const bool ok = EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestSign(ctx, signature.data(), &length, digest, sizeof digest) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  if (!ok || length != 64) throw std::runtime_error("signing failed");
  return signature;
}

bool SetImmutable(const fs::path& path, bool immutable) {
  const std::string command =
      std::string("chattr ") + (immutable ? "+i" : "-i") + " '" + path.string() + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

ChildProcess Spawn(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& extraEnvironment,
                   const fs::path& errorFile, int errorDescriptor) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (extraEnvironment.count(key) == 0) environment.push_back(entry);
  }
  for (const auto& [key, value] : extraEnvironment) environment.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (errorDescriptor >= 0) {
    posix_spawn_file_actions_adddup2(&actions, errorDescriptor, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  ChildProcess child;
  child.errorFile = errorFile;
  if (posix_spawn(&child.pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int WaitExit(ChildProcess& child, std::chrono::milliseconds timeout) {
  if (child.pid <= 0) return -1;
  int status = 0;
  const bool ended = WaitFor(
      [&] {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        return done == child.pid;
      },
      timeout);
  if (!ended) {
    KillAndReap(child);
    return -1;
  }
  child.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void KillAndReap(ChildProcess& child) {
  if (child.pid <= 0) return;
  kill(child.pid, SIGKILL);
  waitpid(child.pid, nullptr, 0);
  child.pid = -1;
}

}  // namespace tallowmarch::test
