# Fails when a freshly generated file differs from the committed one.
# cmake -DFRESH_DIR=<dir> -DCOMMITTED_DIR=<dir> -DFILES="a;b" -P CheckGenerated.cmake
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
    "differ from what the sources build (${FRESH_DIR}). If the change is meant, run "
    "`cmake --build <build dir> --target daemon_refresh` (or scripts/refresh-daemon-image) "
    "and commit daemon/generated/.")
endif()
