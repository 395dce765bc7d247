// Processes and folders for system tests: run a shell command, start one in the
// background, and a temporary folder that is removed with its contents.
#pragma once

#include <sys/types.h>

#include <string>

namespace systest {

struct CommandResult {
  int iStatus;         // exit status, or 128 + signal
  std::string output;  // standard output and standard error
};

// Runs a command with /bin/sh, waiting at most iTimeoutSec.
CommandResult Run(const std::string &command, int iTimeoutSec = 60);

// A command started with /bin/sh in its own process group; killed (the whole
// group) on destruction.
class Background {
 public:
  Background(const std::string &command, const std::string &outputPath);
  ~Background();
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;
  bool Running();
  // Sends SIGTERM then SIGKILL to the group; returns the exit status.
  int Stop();
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_iStatus = -1;
};

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

std::string ReadFile(const std::string &path);
bool WaitFor(const std::string &path, int iTimeoutMs);
// Polls until the file contains the text.
bool WaitForText(const std::string &path, const std::string &text, int iTimeoutMs);
// Path of a built program and of the source tree.
std::string Bin(const std::string &name);
std::string Source(const std::string &relative);

}  // namespace systest
