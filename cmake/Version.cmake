# The version the programs print and the packages carry: the project's version
# with the commit it was built from (1.0.0+g1a2b3c4), or the bare version
# outside a git checkout. Sets QPR_VERSION_FULL, QPR_SOURCE_DATE (the commit's
# date, RFC 2822, for the Debian changelog) and QPR_SOURCE_EPOCH (the same in
# seconds, for reproducible man pages); both dates are empty outside git.
set(QPR_VERSION_FULL ${PROJECT_VERSION})
set(QPR_SOURCE_DATE "")
set(QPR_SOURCE_EPOCH "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%h%n%ct%n%cD --abbrev=7
    OUTPUT_VARIABLE qpr_git_head OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE qpr_git_rc ERROR_QUIET)
  # Only the project's own repository: a source tree unpacked inside another
  # checkout must not take that checkout's commit.
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse --show-toplevel
    OUTPUT_VARIABLE qpr_git_top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(qpr_git_rc EQUAL 0 AND qpr_git_top AND qpr_git_head MATCHES "^([0-9a-f]+)\n([0-9]+)\n(.+)$")
    file(REAL_PATH "${qpr_git_top}" qpr_git_top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" qpr_source_real)
    if(qpr_git_top STREQUAL qpr_source_real)
      set(QPR_VERSION_FULL "${PROJECT_VERSION}+g${CMAKE_MATCH_1}")
      set(QPR_SOURCE_EPOCH "${CMAKE_MATCH_2}")
      set(QPR_SOURCE_DATE "${CMAKE_MATCH_3}")
      # A new commit or checkout moves HEAD's log: configure again so the
      # version follows it.
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse --absolute-git-dir
        OUTPUT_VARIABLE qpr_git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(EXISTS "${qpr_git_dir}/logs/HEAD")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${qpr_git_dir}/logs/HEAD")
      endif()
    endif()
  endif()
endif()
message(STATUS "qpr2427k version ${QPR_VERSION_FULL}")
