// What the tools share on their command line: --help, --version and 32-bit
// numbers whose error says what is wrong with them.
#pragma once

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "main/version.h"

namespace lumtools {

constexpr int kExitUsage = 2;

// --help or -h prints the synopsis (the manual page's SYNOPSIS) and notes,
// --version the tool's name and version; both to standard output, exit 0.
// -1 when the first argument is neither.
inline int HelpOrVersion(int argc, char **argv, const char *pcTool, const char *pcHelp) {
  if (argc < 2) return -1;
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    fputs(pcHelp, stdout);
  } else if (strcmp(argv[1], "--version") == 0) {
    printf("%s %s\n", pcTool, HostmonGetVersion());
  } else {
    return -1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}

enum class NumberParse { kOk, kNotNumber, kTooLarge };

// Decimal or 0x hex, the whole text, no sign.
inline NumberParse ParseU32(const char *pcText, uint32_t *pulValue) {
  if (pcText == nullptr || *pcText == '\0' || *pcText == '-' || *pcText == '+') {
    return NumberParse::kNotNumber;
  }
  int base = 10;
  const char *digits = pcText;
  if (pcText[0] == '0' && (pcText[1] == 'x' || pcText[1] == 'X')) {
    base = 16;
    digits = pcText + 2;
  }
  // strtoull would take blanks and a sign here.
  if (*digits == '\0' || !(base == 16 ? isxdigit(static_cast<unsigned char>(*digits))
                                      : isdigit(static_cast<unsigned char>(*digits)))) {
    return NumberParse::kNotNumber;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long long value = strtoull(digits, &end, base);
  if (*end != '\0') return NumberParse::kNotNumber;
  if (errno == ERANGE || value > UINT32_MAX) return NumberParse::kTooLarge;
  *pulValue = static_cast<uint32_t>(value);
  return NumberParse::kOk;
}

// ParseU32 with the message for what is wrong; pcWhat names the argument.
inline bool ParseU32OrSay(const char *pcTool, const char *pcWhat, const char *pcText,
                          uint32_t *pulValue) {
  switch (ParseU32(pcText, pulValue)) {
    case NumberParse::kOk:
      return true;
    case NumberParse::kNotNumber:
      fprintf(stderr, "%s: %s \"%s\" is not a number (decimal or 0x hex)\n", pcTool, pcWhat,
              pcText);
      return false;
    case NumberParse::kTooLarge:
      fprintf(stderr, "%s: %s %s is out of range: at most 4294967295 (0xffffffff)\n", pcTool,
              pcWhat, pcText);
      return false;
  }
  return false;
}

}  // namespace lumtools
