# cmake -DSCRIPT=<CheckGenerated.cmake> -DWORK=<scratch dir> -P CheckGeneratedTest.cmake
set(gcc12 "m68k-linux-gnu-gcc (Debian 12.2.0-13) 12.2.0\nGNU ld (GNU Binutils for Debian) 2.40\n")
set(gcc13 "m68k-linux-gnu-gcc (Debian 13.2.0-7) 13.2.0\nGNU ld (GNU Binutils for Debian) 2.41\n")

# Runs the check on an image made by fresh_tools against one committed with
# committed_tools ("" leaves the record out); expect is "pass", "warn" or "fail".
function(check name expect fresh_tools committed_tools fresh_bytes committed_bytes)
  file(REMOVE_RECURSE "${WORK}")
  file(WRITE "${WORK}/fresh/image.srec" "${fresh_bytes}")
  file(WRITE "${WORK}/fresh/toolchain.txt" "${fresh_tools}")
  file(WRITE "${WORK}/committed/image.srec" "${committed_bytes}")
  if(NOT committed_tools STREQUAL "")
    file(WRITE "${WORK}/committed/toolchain.txt" "${committed_tools}")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DFRESH_DIR=${WORK}/fresh -DCOMMITTED_DIR=${WORK}/committed
            -DFILES=image.srec -DTOOLCHAIN=toolchain.txt -P ${SCRIPT}
    RESULT_VARIABLE failed ERROR_VARIABLE said)
  if(failed)
    set(got fail)
  elseif(said MATCHES "Warning.*12\\.2\\.0.*13\\.2\\.0")
    set(got warn)
  elseif(said STREQUAL "")
    set(got pass)
  else()
    set(got "pass, saying: ${said}")
  endif()
  if(NOT got STREQUAL expect)
    message(SEND_ERROR "${name}: expected ${expect}, got ${got}")
  endif()
endfunction()

check("same tools, same bytes" pass "${gcc12}" "${gcc12}" "S1" "S1")
check("same tools, other bytes" fail "${gcc12}" "${gcc12}" "S1" "S2")
check("other tools, other bytes" warn "${gcc13}" "${gcc12}" "S1" "S2")
check("no record of the tools" fail "${gcc13}" "" "S1" "S1")
