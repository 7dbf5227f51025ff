# Writes the first line of each tool's --version answer, one per line: the
# record of which compiler and binutils made an image.
# cmake -DTOOLS="<gcc>;<ld>" -DOUT=<file> -P ToolchainRecord.cmake
set(ENV{LC_ALL} C)
set(text "")
foreach(tool IN LISTS TOOLS)
  execute_process(COMMAND ${tool} --version OUTPUT_VARIABLE answer RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${tool} --version failed")
  endif()
  string(REGEX MATCH "^[^\n]*" first "${answer}")
  string(APPEND text "${first}\n")
endforeach()
file(WRITE "${OUT}" "${text}")
