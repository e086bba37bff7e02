# Fails when dualrow needs a shared library other than the C library (and its
# loader). Reads
# the program's own NEEDED entries, which works for a foreign architecture too
# (the host's ldd says nothing of those).
if(NOT READELF)
  set(READELF readelf)
endif()
execute_process(COMMAND ${READELF} -d ${TOOL} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} could not read ${TOOL}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" entries "${dynamic}")
if(dynamic MATCHES "no dynamic section")
  message(STATUS "statically linked: needs no shared library")
  return()
elseif(NOT entries)
  message(FATAL_ERROR "no NEEDED entry read from ${TOOL}")
endif()
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" library "${entry}")
  # Some architectures' C library names its loader too (ld-linux-aarch64.so.1).
  if(NOT library STREQUAL "libc.so.6" AND NOT library MATCHES "^ld-linux[-a-z0-9_]*\\.so\\.[0-9]+$")
    message(FATAL_ERROR "${TOOL} needs more than the C library: ${library}")
  endif()
  message(STATUS "needs ${library}")
endforeach()
