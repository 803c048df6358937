#include "pulse_test_support.h"

#include <fcntl.h>
#include <spawn.h>

#include <cstdlib>

extern char** environ;

namespace tallowmarch::test {
namespace {

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "";
  std::size_t start = 0;
  while (start <= p.size()) {
    const std::size_t end = std::min(p.find(':', start), p.size());
    if (access((p.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool PulseToolsInstalled() {
  return OnPath("pulseaudio") && OnPath("pactl");
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outputFile) {
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace tallowmarch::test
