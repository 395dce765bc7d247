#include "tests/system/proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace systest {

namespace {

int DecodeStatus(int iRaw) { return WIFEXITED(iRaw) ? WEXITSTATUS(iRaw) : 128 + WTERMSIG(iRaw); }

}  // namespace

std::string Quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

CmdResult Shell(const std::string &command, int iTimeoutSec) {
  const std::string wrapped =
      "timeout -k 2 " + std::to_string(iTimeoutSec) + " sh -c " + Quote(command);
  CmdResult result;
  FILE *pipe = popen(wrapped.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), pipe)) > 0;) result.out.append(buf, n);
  result.iExit = DecodeStatus(pclose(pipe));
  return result;
}

CmdResult ShellIn(const std::string &ns, const std::string &command, int iTimeoutSec) {
  return Shell("ip netns exec " + Quote(ns) + " sh -c " + Quote(command), iTimeoutSec);
}

Background::Background(const std::string &command, const std::string &outputPath) {
  m_pid = fork();
  if (m_pid == 0) {
    setpgid(0, 0);
    int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  // Both sides set the group, so that a kill right after the fork finds it.
  if (m_pid > 0) setpgid(m_pid, m_pid);
}

bool Background::Running() {
  int iRaw = 0;
  if (m_pid <= 0 || waitpid(m_pid, &iRaw, WNOHANG) != m_pid) return m_pid > 0;
  m_iStatus = DecodeStatus(iRaw);
  m_pid = -1;
  return false;
}

int Background::Stop() {
  if (m_pid <= 0) return m_iStatus;
  kill(-m_pid, SIGTERM);
  PollUntil(1000, [this] { return !Running(); });
  if (m_pid > 0) {
    kill(-m_pid, SIGKILL);
    int iRaw = 0;
    waitpid(m_pid, &iRaw, 0);
    m_iStatus = DecodeStatus(iRaw);
    m_pid = -1;
  }
  return m_iStatus;
}

TempDir::TempDir() {
  char templ[] = "/tmp/hostmon-systest.XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

TempDir::~TempDir() {
  // Mount points inside (bind mounts of a private namespace) vanished with it.
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> MessageLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  // A last line without its newline is still being written.
  for (std::string line; std::getline(in, line) && !in.eof();) {
    if (line.rfind("type=", 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::string Bin(const std::string &name) { return std::string(HOSTMON_BIN_DIR) + "/" + name; }
std::string Source(const std::string &relative) {
  return std::string(HOSTMON_SOURCE_DIR) + "/" + relative;
}

}  // namespace systest
