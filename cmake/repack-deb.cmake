# Run by CPack on the .deb it made (CPACK_POST_BUILD_SCRIPTS). CPack dates the archive's
# members and files with the time it ran and the time each file was built; remade by
# dpkg-deb, every date is SOURCE_DATE_EPOCH (when set), the files are in name order and
# owned by root, so the package is the same bytes wherever and whenever it is made.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
