# Man pages of qpr2427k-host and qpr2427k-sim, made by help2man from their
# --help and --version at build time, so they always match the programs.
find_program(QPR_HELP2MAN help2man REQUIRED)
find_program(QPR_GZIP gzip REQUIRED)

set(QPR_MAN_DIR ${PROJECT_BINARY_DIR}/man)
# help2man runs "PROGRAM --help" through the shell: a cross-built program runs
# under its emulator.
set(qpr_man_runner "")
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(FATAL_ERROR "man pages of a cross build need CMAKE_CROSSCOMPILING_EMULATOR (qemu-user)")
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " qpr_man_runner)
  string(APPEND qpr_man_runner " ")
endif()
# The commit's date, not today's, in the page's footer: the same sources give
# the same pages.
set(qpr_man_env "")
if(QPR_SOURCE_EPOCH)
  set(qpr_man_env SOURCE_DATE_EPOCH=${QPR_SOURCE_EPOCH})
endif()

# qpr_man_page(TARGET "what it is"): ${QPR_MAN_DIR}/TARGET.1.gz, built with ALL.
function(qpr_man_page target what)
  set(page ${QPR_MAN_DIR}/${target}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QPR_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -E env ${qpr_man_env}
            ${QPR_HELP2MAN} --no-info --section=1 --name=${what} --output=${page}
            "${qpr_man_runner}$<TARGET_FILE:${target}>"
    COMMAND ${QPR_GZIP} -9nf ${page}
    DEPENDS ${target}
    COMMENT "Man page of ${target}"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page}.gz)
endfunction()

qpr_man_page(qpr2427k-host "polls a power system through the qpr2427k plug-in and exports its values")
qpr_man_page(qpr2427k-sim "simulates a power system of the QPR2427K family on a serial line or TCP port")
