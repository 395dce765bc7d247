// Small file-system helpers shared by the platform's services.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace lum {

// Creates every missing folder of path (not its last component when bParentOnly)
// with mode; true when the folder exists afterwards.
bool MakeDirs(const std::string &path, mode_t mode, bool bParentOnly = false);

// Names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> ListDir(const std::string &path);

// The environment variable's value, or the default when unset or empty.
std::string EnvOr(const char *pcName, std::string_view def);

// The files of the module log, the event log and the trace (when it goes to a
// file), as the environment names them.
std::vector<std::string> LogPaths();
// The database's file, as the environment names it.
std::string DbFilePath();

// An append-only text file bounded at ulLimit bytes: past it the file is
// renamed to NAME.1 (one old generation) and a new one begun. A path of "-"
// writes to standard error.
class LogFile {
 public:
  explicit LogFile(std::string path, size_t ulLimit = 256 * 1024);
  ~LogFile();
  LogFile(const LogFile &) = delete;
  LogFile &operator=(const LogFile &) = delete;
  void Write(std::string_view text);
  const std::string &Path() const { return m_path; }

 private:
  void Open();
  std::string m_path;
  size_t m_ulLimit;
  int m_iFd = -1;
  size_t m_ulSize = 0;
};

}  // namespace lum
