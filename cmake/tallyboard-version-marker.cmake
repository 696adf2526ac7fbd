# Writes the source of libtallyboard's build-composed version marker:
#   GIT_VERSION_<version>_<build type>_<short commit>_<build number>_<tag>_<build time+offset>
# Run at every build (cmake -P) with VERSION, BUILD_TYPE, SOURCE_DIR, OUTPUT.
# The build number is the count of commits reachable from HEAD. Outside a git
# checkout the commit is "nogit", the build number 0 and the tag "notag"; the
# build never fails for want of git.
set(commit nogit)
set(number 0)
set(tag notag)
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short HEAD
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out)
    set(commit ${out})
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-list --count HEAD
                    OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(rc EQUAL 0 AND out)
      set(number ${out})
    endif()
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --tags --exact-match HEAD
                    OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(rc EQUAL 0 AND out)
      set(tag ${out})
    endif()
  endif()
endif()
if(NOT BUILD_TYPE)
  set(BUILD_TYPE none)
endif()

# Local time with its UTC offset; string(TIMESTAMP) cannot give the offset.
execute_process(COMMAND date +%Y%m%d%H%M%S%z OUTPUT_VARIABLE when RESULT_VARIABLE rc
                ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT when)
  string(TIMESTAMP when "%Y%m%d%H%M%S+0000" UTC)
endif()

string(MAKE_C_IDENTIFIER "GIT_VERSION_${VERSION}_${BUILD_TYPE}_${commit}_${number}_${tag}_${when}" name)
set(text "// Generated at build time by tallyboard-version-marker.cmake.
#include \"tallyboard.h\"

extern \"C\" {
TALLYBOARD_EXPORT extern char ${name}[8];
TALLYBOARD_EXPORT char ${name}[8] = {0};
}
")
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
