# The version text every program reports with --version, from the source
# tree's history: `git describe` when a tag "vX.Y" is there, else the
# project's version, the commits so far and the commit ("0.1-93-g30e5ade"),
# with "-dirty" for uncommitted changes; the project's version alone where
# there is no git (a source archive).
#
# Included by the top CMakeLists.txt: sets ZELMO_VERSION (for the packages)
# and makes the library zelmo_version, whose ZelmoVersion.h declares
# kZelmoVersion. The text is written again at every build, so that a commit
# shows without configuring anew; a build whose text did not change compiles
# nothing. Run with -P, this file writes that source file.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(zelmo_version_text source_dir fallback out_var)
  set(text "${fallback}")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${source_dir}" describe --tags --match "v[0-9]*" --dirty
                    OUTPUT_VARIABLE described RESULT_VARIABLE tag_failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT tag_failed)
      string(REGEX REPLACE "^v" "" text "${described}")
    else()
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${source_dir}" rev-list --count HEAD
                      OUTPUT_VARIABLE count RESULT_VARIABLE count_failed
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${source_dir}" describe --always --abbrev=7 --dirty
                      OUTPUT_VARIABLE commit RESULT_VARIABLE commit_failed
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT count_failed AND NOT commit_failed)
        set(text "${fallback}-${count}-g${commit}")
      endif()
    endif()
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# A Debian version sorts "+" after the release it extends and allows no "-"
# in a native package's version: 0.1-93-g30e5ade becomes 0.1+93.g30e5ade.
function(zelmo_debian_version text out_var)
  string(FIND "${text}" "-" dash)
  if(dash GREATER -1)
    string(SUBSTRING "${text}" 0 ${dash} release)
    math(EXPR rest_start "${dash} + 1")
    string(SUBSTRING "${text}" ${rest_start} -1 rest)
    string(REPLACE "-" "." rest "${rest}")
    set(text "${release}+${rest}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

function(zelmo_write_version_source source_dir fallback output)
  zelmo_version_text("${source_dir}" "${fallback}" text)
  file(CONFIGURE OUTPUT "${output}"
       CONTENT "// Written by cmake/Version.cmake at build time.\n#include \"ZelmoVersion.h\"\n\nconst char kZelmoVersion[] = \"@text@\";\n"
       @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  zelmo_write_version_source("${ZELMO_SOURCE_DIR}" "${ZELMO_FALLBACK}" "${ZELMO_OUTPUT}")
  return()
endif()

zelmo_version_text("${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}" ZELMO_VERSION)
set(zelmo_version_dir "${CMAKE_BINARY_DIR}/version")
file(CONFIGURE OUTPUT "${zelmo_version_dir}/ZelmoVersion.h"
     CONTENT "#pragma once\n// This build's version text (cmake/Version.cmake): \"0.1-93-g30e5ade\".\nextern const char kZelmoVersion[];\n")
zelmo_write_version_source("${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}" "${zelmo_version_dir}/ZelmoVersion.cpp")
add_custom_target(zelmo_version_source
  COMMAND "${CMAKE_COMMAND}" "-DZELMO_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DZELMO_FALLBACK=${PROJECT_VERSION}"
          "-DZELMO_OUTPUT=${zelmo_version_dir}/ZelmoVersion.cpp" -P "${CMAKE_CURRENT_LIST_FILE}"
  BYPRODUCTS "${zelmo_version_dir}/ZelmoVersion.cpp"
  COMMENT "" VERBATIM)
add_library(zelmo_version STATIC "${zelmo_version_dir}/ZelmoVersion.cpp")
target_include_directories(zelmo_version PUBLIC "${zelmo_version_dir}")
add_dependencies(zelmo_version zelmo_version_source)
