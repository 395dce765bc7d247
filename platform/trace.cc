// Trace, module log and event log, each one line per call, bounded by rotation.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/fsutil.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

const char *TraceDestination() {
  const char *dest = getenv("LUM_TRACE");
  return (dest != nullptr && *dest != '\0') ? dest : nullptr;
}

std::string MlogPath() { return lum::EnvOr("LUM_MLOG_FILE", "/var/log/lum/mlog.log"); }
std::string EventLogPath() { return lum::EnvOr("LUM_EVENT_LOG", "/var/log/lum/event.log"); }

struct LogState {
  std::unique_ptr<lum::LogFile> trace;
  std::unique_ptr<lum::LogFile> mlog;
  std::unique_ptr<lum::LogFile> events;
  bool bCapture = false;
  bool bTraceWasOn = false;
  std::vector<std::string> traceLines;
  std::vector<std::string> mlogLines;
  std::vector<lum::testing::EventRecord> eventRecords;
};

LogState &State() {
  static LogState state;
  return state;
}

__attribute__((format(printf, 1, 0))) std::string VFormat(const char *pcFmt, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), pcFmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(big.data(), big.size(), pcFmt, args);
  big.resize(static_cast<size_t>(n));
  return big;
}

std::string IsoTimeUtc() {
  time_t now = time(nullptr);
  struct tm tmUtc {};
  gmtime_r(&now, &tmUtc);
  char buf[32];
  strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tmUtc);
  return buf;
}

void EndLine(std::string &line) {
  if (line.empty() || line.back() != '\n') line.push_back('\n');
}

}  // namespace

std::vector<std::string> lum::LogPaths() {
  std::vector<std::string> paths = {MlogPath(), EventLogPath()};
  const char *dest = TraceDestination();
  if (dest != nullptr && strcmp(dest, "-") != 0) paths.emplace_back(dest);
  return paths;
}

// Read before main: "hostmon lumv" traces before any registration.
bool g_bLumTraceOn = TraceDestination() != nullptr;

uint32_t LUM_TRACE_RegModule(const char *pcModule) { return pcModule == nullptr ? 1 : 0; }

void LUM_TRACE_PrintInfo(const char *pcFile, uint32_t ulLine, uint32_t, const char *, uint32_t,
                         const char *pcFmt, ...) {
  if (!g_bLumTraceOn || pcFmt == nullptr) return;
  va_list args;
  va_start(args, pcFmt);
  std::string text = VFormat(pcFmt, args);
  va_end(args);
  LogState &st = State();
  if (st.bCapture) {
    st.traceLines.push_back(std::move(text));
    return;
  }
  if (!st.trace) {
    const char *dest = TraceDestination();
    if (dest == nullptr) return;
    st.trace = std::make_unique<lum::LogFile>(dest);
  }
  char prefix[128];
  snprintf(prefix, sizeof(prefix), "%u %s:%u ", LUM_UTIL_GetSysUpTime(),
           pcFile != nullptr ? pcFile : "?", ulLine);
  std::string line = prefix + text;
  EndLine(line);
  st.trace->Write(line);
}

void mlog_print(const char *pcModule, uint32_t ulLevel, const char *pcFmt, ...) {
  if (pcFmt == nullptr) return;
  va_list args;
  va_start(args, pcFmt);
  std::string text = VFormat(pcFmt, args);
  va_end(args);
  LogState &st = State();
  if (st.bCapture) {
    st.mlogLines.push_back(std::move(text));
    return;
  }
  if (!st.mlog) {
    st.mlog = std::make_unique<lum::LogFile>(MlogPath());
  }
  std::string line = IsoTimeUtc() + " " + (pcModule != nullptr ? pcModule : "") + " " +
                     std::to_string(ulLevel) + " " + text;
  EndLine(line);
  st.mlog->Write(line);
}

uint32_t LUM_LOG_API_Record_Log(uint32_t ulEventId, ...) {
  lum::testing::EventRecord record{ulEventId, {}};
  va_list args;
  va_start(args, ulEventId);
  // Bounded, so that a caller who forgets the terminating nullptr cannot run away.
  for (int i = 0; i < 16; ++i) {
    const char *text = va_arg(args, const char *);
    if (text == nullptr) break;
    record.args.emplace_back(text);
  }
  va_end(args);
  LogState &st = State();
  if (st.bCapture) {
    st.eventRecords.push_back(std::move(record));
    return 0;
  }
  if (!st.events) {
    st.events = std::make_unique<lum::LogFile>(EventLogPath());
  }
  char id[16];
  snprintf(id, sizeof(id), "0x%08x", ulEventId);
  std::string line = IsoTimeUtc() + "\t" + id;
  for (const std::string &arg : record.args) {
    line += '\t';
    line += arg;
  }
  EndLine(line);
  st.events->Write(line);
  return 0;
}

namespace lum::testing {

void CaptureLogs() {
  LogState &st = State();
  if (!st.bCapture) st.bTraceWasOn = g_bLumTraceOn;
  st.bCapture = true;
  g_bLumTraceOn = true;
  st.traceLines.clear();
  st.mlogLines.clear();
  st.eventRecords.clear();
}

void ReleaseLogs() {
  LogState &st = State();
  if (!st.bCapture) return;
  st.bCapture = false;
  g_bLumTraceOn = st.bTraceWasOn;
  st.traceLines.clear();
  st.mlogLines.clear();
  st.eventRecords.clear();
}

std::vector<std::string> &TraceLines() { return State().traceLines; }
std::vector<std::string> &MlogLines() { return State().mlogLines; }
std::vector<EventRecord> &EventRecords() { return State().eventRecords; }

}  // namespace lum::testing
