# Writes the version header at every build:
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -DPROJECT_VERSION=... -P version.cmake
# The text is the project's version, then `git describe --always --dirty` in
# parentheses when the source is a git work tree of its own. The header is
# rewritten only when the text changed, so that nothing is rebuilt needlessly.
set(text "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND)
  # describe --dirty refreshes the index; never hold its lock against a commit.
  set(ENV{GIT_OPTIONAL_LOCKS} 0)
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel
    WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE top_rc OUTPUT_VARIABLE top
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A source tree unpacked inside some other repository must not take its commit.
  file(REAL_PATH "${SOURCE_DIR}" src)
  if(top_rc EQUAL 0)
    file(REAL_PATH "${top}" top)
  endif()
  if(top_rc EQUAL 0 AND top STREQUAL src)
    execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty
      WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE described
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND NOT described STREQUAL "")
      set(text "${text} (${described})")
    endif()
  endif()
endif()

# A tag may hold a double quote.
string(REPLACE "\\" "\\\\" text "${text}")
string(REPLACE "\"" "\\\"" text "${text}")
set(header "// Generated at build time; do not edit.\n#define HOSTMON_VERSION_TEXT \"${text}\"\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL header)
  file(WRITE "${OUTPUT}" "${header}")
endif()
