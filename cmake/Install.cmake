# The self-contained install folder that `cmake --install <build> --prefix DIR`
# lays out:
#
#   Skarvel                  the bootstrap (its rule is in apps/bootstrap)
#   settings/                shared settings, empty until the launcher writes
#   content/bin/SkarvelSync  the synchroniser
#   content/bin/lib/         every shared library SkarvelSync needs beyond the
#                            C library; Skarvel puts this folder on
#                            LD_LIBRARY_PATH for the programs it starts
#   content/resources/vfs/   empty until the first sync
#
# Skarvel takes this old single-instance shape as it stands and moves
# "content" into "live" on its first start. Include after SkarvelSync is
# defined; a second include is a no-op.
include_guard(GLOBAL)

install(DIRECTORY DESTINATION settings)
install(DIRECTORY DESTINATION content/resources/vfs)

if(TARGET SkarvelSync)
  install(TARGETS SkarvelSync RUNTIME DESTINATION content/bin)
  # The C library (with its loader and the libraries glibc ships) is the one
  # thing the desktop must provide: a copy would clash with the system's
  # loader. Everything else is copied under the name the loader asks for,
  # with the symbolic links that lead to the real file.
  install(CODE [[
    file(GET_RUNTIME_DEPENDENCIES
      EXECUTABLES "$<TARGET_FILE:SkarvelSync>"
      RESOLVED_DEPENDENCIES_VAR skarvel_libraries
      UNRESOLVED_DEPENDENCIES_VAR skarvel_unresolved
      PRE_EXCLUDE_REGEXES
        "^ld-linux.*"
        "^lib(c|m|dl|pthread|rt|resolv|util|anl|mvec|BrokenLocale|thread_db|c_malloc_debug)\\.so.*"
        "^libnss_.*")
    if(skarvel_unresolved)
      message(FATAL_ERROR "SkarvelSync needs libraries that were not found: ${skarvel_unresolved}")
    endif()
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/content/bin/lib" TYPE SHARED_LIBRARY
         FOLLOW_SYMLINK_CHAIN FILES ${skarvel_libraries})
  ]])
endif()
