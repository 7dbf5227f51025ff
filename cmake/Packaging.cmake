# What a user installs instead of a build tree (make package).
#
# Linux: three Debian packages made by CPack from the install rules below:
# zelmo (the window, with its desktop entry, icon and AppStream metadata),
# zelmo-cli (with bash completion, the example ROM and the real-board
# check-list) and zelmo-sim; each with its manual page from help2man, its
# copyright and changelog. Dependencies come from dpkg-shlibdeps.
#
# Windows (the cross build): the targets windows_installer (NSIS, from
# packaging/windows/zelmo.nsi) and windows_zip, into package/ of the build.

set(zelmo_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(ZELMO_PACKAGE_CONTACT "Zelmo developers <zelmo-developers@example.org>"
    CACHE STRING "the packages' maintainer, as Name <address>")

if(WIN32)
  find_program(ZELMO_MAKENSIS makensis)
  set(win_package_dir ${CMAKE_BINARY_DIR}/package)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(win_bits 64)
  else()
    set(win_bits 32)
  endif()
  set(win_name zelmo-${ZELMO_VERSION}-win${win_bits})
  # The window joins the installer once the build has it.
  set(win_window_define "")
  set(win_programs $<TARGET_FILE:zelmo-cli>)
  if(TARGET zelmo)
    set(win_window_define -DWINDOW_EXE=$<TARGET_FILE:zelmo>)
    list(PREPEND win_programs $<TARGET_FILE:zelmo>)
  endif()
  # The example ROM is built by the native build (the m68k toolchain is
  # there); it joins when that build has made it.
  set(native_build ${ZELMO_NATIVE_BUILD})
  if(NOT native_build)
    set(native_build ${PROJECT_SOURCE_DIR}/build)
  endif()
  set(win_example ${native_build}/examples/hello.s37)
  if(ZELMO_MAKENSIS)
    add_custom_target(windows_installer
      COMMAND ${CMAKE_COMMAND} -E make_directory ${win_package_dir}
      COMMAND ${ZELMO_MAKENSIS} -V2 -DVERSION=${ZELMO_VERSION} -DBITS=${win_bits}
              -DCLI_EXE=$<TARGET_FILE:zelmo-cli> ${win_window_define} -DEXAMPLE_ROM=${win_example}
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTFILE=${win_package_dir}/${win_name}-setup.exe
              ${zelmo_packaging}/windows/zelmo.nsi
      DEPENDS ${zelmo_packaging}/windows/zelmo.nsi
      COMMENT "NSIS: ${win_name}-setup.exe" VERBATIM)
    add_dependencies(windows_installer zelmo-cli)
    if(TARGET zelmo)
      add_dependencies(windows_installer zelmo)
    endif()
  else()
    add_custom_target(windows_installer
      COMMAND ${CMAKE_COMMAND} -E echo "windows_installer: makensis is missing (Debian package nsis; scripts/setup installs it)"
      COMMAND ${CMAKE_COMMAND} -E false)
  endif()
  # The same files in a folder of their own, for those who install nothing.
  set(zip_root ${win_package_dir}/zip/${win_name})
  add_custom_target(windows_zip
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${win_package_dir}/zip
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_root}
    COMMAND ${CMAKE_COMMAND} -E copy ${win_programs} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/real-board.md ${zip_root}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${zip_root}/LICENSE.txt
    COMMAND sh -c "[ ! -f \"$0\" ] || { mkdir -p \"$1\" && cp \"$0\" \"$1\"; }" ${win_example} ${zip_root}/examples
    COMMAND ${CMAKE_COMMAND} -E chdir ${win_package_dir}/zip ${CMAKE_COMMAND} -E tar cf ../${win_name}.zip --format=zip ${win_name}
    COMMENT "zip: ${win_name}.zip" VERBATIM)
  add_dependencies(windows_zip zelmo-cli)
  if(TARGET zelmo)
    add_dependencies(windows_zip zelmo)
  endif()
  return()
endif()

if(CMAKE_CROSSCOMPILING OR NOT TARGET zelmo-cli OR NOT TARGET zelmo-sim OR NOT TARGET zelmo)
  return()
endif()

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME zelmo-cli)
# cpack installs what make package built; it need not build everything else.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Manual pages from each program's --help and --version, with the sections
# of packaging/linux/*.h2m; zelmo-cli's also lists every command's options.
find_program(ZELMO_HELP2MAN help2man)
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(manpages "")
function(zelmo_manpage program description)
  set(page ${man_dir}/${program}.1)
  set(includes --include=${zelmo_packaging}/linux/common.h2m)
  set(depends ${zelmo_packaging}/linux/common.h2m)
  if(EXISTS ${zelmo_packaging}/linux/${program}.h2m)
    list(APPEND includes --include=${zelmo_packaging}/linux/${program}.h2m)
    list(APPEND depends ${zelmo_packaging}/linux/${program}.h2m)
  endif()
  set(pre "")
  if(program STREQUAL "zelmo-cli")
    set(pre COMMAND ${zelmo_packaging}/linux/cli-commands-h2m $<TARGET_FILE:zelmo-cli> ${man_dir}/zelmo-cli-commands.h2m)
    list(APPEND includes --include=${man_dir}/zelmo-cli-commands.h2m)
    list(APPEND depends ${zelmo_packaging}/linux/cli-commands-h2m)
  endif()
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    ${pre}
    COMMAND ${ZELMO_HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${description}
            ${includes} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${depends}
    COMMENT "help2man: ${program}.1" VERBATIM)
  set(manpages ${manpages} ${page}.gz PARENT_SCOPE)
endfunction()
if(ZELMO_HELP2MAN)
  zelmo_manpage(zelmo "the operator's window for programming a CPU32 board's flash")
  zelmo_manpage(zelmo-cli "program the flash of a CPU32 board over RS-232")
  zelmo_manpage(zelmo-sim "a simulated CPU32 board on a pseudo-terminal")
  add_custom_target(zelmo_manpages DEPENDS ${manpages})
else()
  add_custom_target(zelmo_manpages
    COMMAND ${CMAKE_COMMAND} -E echo "zelmo_manpages: help2man is missing (scripts/setup installs it)"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()

# The packages' changelog (a native package's changelog.gz), naming this
# build's version and commit date.
zelmo_debian_version("${ZELMO_VERSION}" zelmo_deb_version)
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%aD
                OUTPUT_VARIABLE changelog_date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT changelog_date)
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
# The copyright notice's years: those of the first and the last commit.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log --format=%ad --date=format:%Y
                OUTPUT_VARIABLE commit_years OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REPLACE "\n" ";" commit_years "${commit_years}")
if(commit_years)
  list(GET commit_years -1 first_year)
  list(GET commit_years 0 last_year)
else()
  string(TIMESTAMP first_year "%Y" UTC)
  set(last_year ${first_year})
endif()
set(zelmo_copyright_years ${first_year})
if(NOT last_year STREQUAL first_year)
  set(zelmo_copyright_years ${first_year}-${last_year})
endif()
set(copyright ${CMAKE_BINARY_DIR}/package-doc/copyright)
configure_file(${zelmo_packaging}/linux/copyright.in ${copyright} @ONLY)

set(changelog ${CMAKE_BINARY_DIR}/package-doc/changelog)
configure_file(${zelmo_packaging}/linux/changelog.in ${changelog} @ONLY)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND gzip -9nkf ${changelog}
  DEPENDS ${changelog} VERBATIM)
add_custom_target(zelmo_changelog ALL DEPENDS ${changelog}.gz)

set(doc ${CMAKE_INSTALL_DATADIR}/doc)
foreach(component zelmo zelmo-cli zelmo-sim)
  install(FILES ${copyright} ${changelog}.gz
          DESTINATION ${doc}/${component} COMPONENT ${component})
endforeach()
install(TARGETS zelmo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelmo)
install(TARGETS zelmo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelmo-cli)
install(TARGETS zelmo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelmo-sim)
install(FILES ${man_dir}/zelmo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zelmo)
install(FILES ${man_dir}/zelmo-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zelmo-cli)
install(FILES ${man_dir}/zelmo-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zelmo-sim)
install(FILES ${zelmo_packaging}/linux/zelmo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT zelmo)
install(FILES ${zelmo_packaging}/linux/zelmo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT zelmo)
install(FILES ${zelmo_packaging}/linux/org.zelmo.Zelmo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT zelmo)
install(FILES ${zelmo_packaging}/linux/README.Debian DESTINATION ${doc}/zelmo COMPONENT zelmo)
install(FILES ${zelmo_packaging}/linux/README.Debian ${PROJECT_SOURCE_DIR}/docs/real-board.md
        DESTINATION ${doc}/zelmo-cli COMPONENT zelmo-cli)
install(FILES ${ZELMO_EXAMPLE_ROM} DESTINATION ${doc}/zelmo-cli/examples COMPONENT zelmo-cli)
install(FILES ${zelmo_packaging}/linux/zelmo-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zelmo-cli COMPONENT zelmo-cli)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelmo)
set(CPACK_PACKAGE_VENDOR "The Zelmo authors")
set(CPACK_PACKAGE_CONTACT "${ZELMO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION "${zelmo_deb_version}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zelmo zelmo-cli zelmo-sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_ZELMO_PACKAGE_NAME zelmo)
set(CPACK_DEBIAN_ZELMO-CLI_PACKAGE_NAME zelmo-cli)
set(CPACK_DEBIAN_ZELMO-SIM_PACKAGE_NAME zelmo-sim)
# The window and the command line program the same boards; the simulator is
# what either reaches without one.
set(CPACK_DEBIAN_ZELMO_PACKAGE_RECOMMENDS "zelmo-cli")
set(CPACK_DEBIAN_ZELMO_PACKAGE_SUGGESTS "zelmo-sim")
set(CPACK_DEBIAN_ZELMO-CLI_PACKAGE_SUGGESTS "zelmo, zelmo-sim")
set(CPACK_DEBIAN_ZELMO-SIM_PACKAGE_SUGGESTS "zelmo-cli")
# The first line is the synopsis; the rest, indented by CPack, the long text.
set(CPACK_COMPONENT_ZELMO_DESCRIPTION
"flash programmer for CPU32 boards over RS-232 (window)
Zelmo programs the 512 KiB AM29F400 flash of a CPU32 (68000-family) board
over an RS-232 line, through the board's boot monitor and a small resident
program that it loads into the board's RAM.
.
This package holds the operator's window: choose the serial port, press
Start, choose the Motorola S-record ROM file and follow the six lamps, the
status line and the progress bar. It can also drive a simulated board.")
set(CPACK_COMPONENT_ZELMO-CLI_DESCRIPTION
"flash programmer for CPU32 boards over RS-232 (command line)
Zelmo programs the 512 KiB AM29F400 flash of a CPU32 (68000-family) board
over an RS-232 line, through the board's boot monitor and a small resident
program that it loads into the board's RAM.
.
This package holds zelmo-cli: program, verify, read back and erase the
flash, run code on the board, inspect S-record files, list the serial ports
and find the one a board answers on. Its output can be JSON for scripts,
and it can record every byte on the line for a problem report.")
set(CPACK_COMPONENT_ZELMO-SIM_DESCRIPTION
"simulated CPU32 board for the Zelmo flash programmer
zelmo-sim runs a CPU32 board in software (the CPU through the Unicorn
emulator, an AM29F400 flash, an MC68681 DUART and the board's boot monitor)
and serves its serial console on a pseudo-terminal, so that Zelmo can be
tried and tested without hardware. Flash timing, line faults and a board
application that must hand the line over can be simulated.")

include(CPack)
