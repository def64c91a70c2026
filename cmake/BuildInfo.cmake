# Run at build time (cmake -P): writes OUTPUT with the source revision, rewriting it only
# when the revision changed so that nothing rebuilds needlessly.
execute_process(COMMAND git rev-parse --short=12 HEAD
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  set(revision "")
endif()
set(content "#pragma once\n#define TOVO_VERSION \"${VERSION}\"\n#define TOVO_BUILD \"${revision}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} previous)
endif()
if(NOT "${previous}" STREQUAL "${content}")
  file(WRITE ${OUTPUT} "${content}")
endif()
