// Processes and folders for the system tests: run a shell command, start one in
// the background, poll, and a temporary folder removed with its contents.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace systest {

struct CmdResult {
  int iExit = -1;   // exit status, or 128 + signal
  std::string out;  // standard output; standard error goes to the test's own
};

// Runs a command with /bin/sh; past the timeout its process group is killed.
CmdResult Shell(const std::string &command, int iTimeoutSec = 10);
// The same inside a network namespace.
CmdResult ShellIn(const std::string &ns, const std::string &command, int iTimeoutSec = 10);
// The text as one shell word.
std::string Quote(const std::string &text);

// A command started with /bin/sh in its own process group, output to a file;
// the whole group is killed (SIGTERM, then SIGKILL) on Stop or destruction.
class Background {
 public:
  Background(const std::string &command, const std::string &outputPath);
  ~Background() { Stop(); }
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;
  bool Running();
  int Stop();  // the exit status
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_iStatus = -1;
};

// Throws when no folder can be made, which fails the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return m_path; }
  std::string operator/(const std::string &name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

template <typename Pred>
bool PollUntil(int iTimeoutMs, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadFile(const std::string &path);
// The messages a `lumbus listen` logged: its lines that start "type=" (its own
// remarks start "lumbus:").
std::vector<std::string> MessageLines(const std::string &path);
// Path of a built program and of a source file.
std::string Bin(const std::string &name);
std::string Source(const std::string &relative);

}  // namespace systest
