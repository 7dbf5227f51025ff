# Compares freshly generated files with the committed ones.
# cmake -DFRESH_DIR=<dir> -DCOMMITTED_DIR=<dir> -DFILES="a;b" -DTOOLCHAIN=<record>
#       -P CheckGenerated.cmake
# TOOLCHAIN names the record, in both folders, of the compiler and binutils
# that made the files. The bytes are compared only when the record matches:
# another compiler version makes other (equally good) code, and that alone
# must neither stop the build nor be committed as the new image.
if(NOT EXISTS "${COMMITTED_DIR}/${TOOLCHAIN}")
  message(FATAL_ERROR
    "${COMMITTED_DIR}/${TOOLCHAIN} is missing: the committed image does not say which "
    "toolchain made it. Refresh the image with the toolchain that made it and commit "
    "daemon/generated/.")
endif()
file(READ "${COMMITTED_DIR}/${TOOLCHAIN}" committed_tools)
file(READ "${FRESH_DIR}/${TOOLCHAIN}" fresh_tools)
if(NOT committed_tools STREQUAL fresh_tools)
  message(WARNING
    "The daemon's committed image was made by\n${committed_tools}"
    "but this build has\n${fresh_tools}"
    "so it cannot be compared byte for byte. The loader embeds the committed image "
    "unchanged. Refresh it only after changing the daemon's sources (and commit the new "
    "toolchain.txt with it); otherwise a refresh just commits another compiler's code.")
  return()
endif()

set(stale "")
foreach(f IN LISTS FILES)
  if(NOT EXISTS "${COMMITTED_DIR}/${f}")
    list(APPEND stale "${f} (not committed)")
    continue()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${FRESH_DIR}/${f}" "${COMMITTED_DIR}/${f}"
                  RESULT_VARIABLE differs)
  if(differs)
    list(APPEND stale "${f}")
  endif()
endforeach()
if(stale)
  list(JOIN stale ", " stale_text)
  message(FATAL_ERROR
    "The daemon's committed image is out of date: ${stale_text} in ${COMMITTED_DIR} "
    "differ from what the sources build (${FRESH_DIR}) with the toolchain that made it. "
    "If the change is meant, run `cmake --build <build dir> --target daemon_refresh` "
    "(or scripts/refresh-daemon-image) and commit daemon/generated/.")
endif()
