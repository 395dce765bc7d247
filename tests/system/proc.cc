#include "tests/system/proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace systest {

namespace {

int DecodeStatus(int iRaw) {
  if (WIFEXITED(iRaw)) return WEXITSTATUS(iRaw);
  if (WIFSIGNALED(iRaw)) return 128 + WTERMSIG(iRaw);
  return -1;
}

}  // namespace

CommandResult Run(const std::string &command, int iTimeoutSec) {
  std::string wrapped = "timeout -k 5 " + std::to_string(iTimeoutSec) + " sh -c '" + [&] {
    std::string quoted;
    for (char c : command) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted;
  }() + "' 2>&1";
  CommandResult result{-1, {}};
  FILE *pipe = popen(wrapped.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) result.output.append(buf, n);
  result.iStatus = DecodeStatus(pclose(pipe));
  return result;
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
  if (m_pid > 0) setpgid(m_pid, m_pid);
}

Background::~Background() { Stop(); }

bool Background::Running() {
  if (m_pid <= 0) return false;
  int iRaw = 0;
  pid_t done = waitpid(m_pid, &iRaw, WNOHANG);
  if (done == m_pid) {
    m_iStatus = DecodeStatus(iRaw);
    m_pid = -1;
    return false;
  }
  return true;
}

int Background::Stop() {
  if (m_pid <= 0) return m_iStatus;
  kill(-m_pid, SIGTERM);
  for (int i = 0; i < 50 && Running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
  if (mkdtemp(templ) != nullptr) m_path = templ;
}

TempDir::~TempDir() {
  if (m_path.empty()) return;
  // Mount points inside (bind mounts of a private namespace) vanish with it.
  (void)Run("rm -rf '" + m_path + "'");
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

bool WaitFor(const std::string &path, int iTimeoutMs) {
  for (int waited = 0; waited <= iTimeoutMs; waited += 20) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool WaitForText(const std::string &path, const std::string &text, int iTimeoutMs) {
  for (int waited = 0; waited <= iTimeoutMs; waited += 20) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Bin(const std::string &name) { return std::string(HOSTMON_BIN_DIR) + "/" + name; }
std::string Source(const std::string &relative) {
  return std::string(HOSTMON_SOURCE_DIR) + "/" + relative;
}

}  // namespace systest
