# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the files it is about to pack: Debian wants manual
# pages compressed with the best compression and without a name or a time inside (gzip -9n), so
# that two builds give the same bytes. `cmake --install` leaves them as they are.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "/share/man/([a-z_A-Z.@]+/)?man[1-9]/[^/]+\\.[1-9][a-z]*$")
foreach(manual IN LISTS files)
    execute_process(COMMAND gzip -9nf "${manual}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
