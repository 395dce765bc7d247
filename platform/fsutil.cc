#include "platform/fsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace lum {

std::vector<std::string> ListDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  closedir(dir);
  return names;
}

bool MakeDirs(const std::string &path, mode_t mode, bool bParentOnly) {
  std::string dir = path;
  if (bParentOnly) {
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return true;
    dir.resize(slash);
  }
  if (dir.empty()) return true;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string EnvOr(const char *pcName, std::string_view def) {
  const char *value = getenv(pcName);
  if (value == nullptr || *value == '\0') return std::string(def);
  return value;
}

LogFile::LogFile(std::string path, size_t ulLimit) : m_path(std::move(path)), m_ulLimit(ulLimit) {}

LogFile::~LogFile() {
  if (m_iFd > STDERR_FILENO) close(m_iFd);
}

void LogFile::Open() {
  if (m_path == "-") {
    m_iFd = STDERR_FILENO;
    return;
  }
  MakeDirs(m_path, 0750, true);
  m_iFd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  struct stat st {};
  m_ulSize = (m_iFd >= 0 && fstat(m_iFd, &st) == 0) ? static_cast<size_t>(st.st_size) : 0;
}

void LogFile::Write(std::string_view text) {
  if (m_iFd < 0) Open();
  if (m_iFd < 0) return;
  if (m_iFd != STDERR_FILENO && m_ulSize + text.size() > m_ulLimit && m_ulSize > 0) {
    close(m_iFd);
    m_iFd = -1;
    std::string old = m_path + ".1";
    rename(m_path.c_str(), old.c_str());
    Open();
    if (m_iFd < 0) return;
  }
  // One write per line so that concurrent writers never interleave inside a line.
  ssize_t n = write(m_iFd, text.data(), text.size());
  if (n > 0) m_ulSize += static_cast<size_t>(n);
}

}  // namespace lum
