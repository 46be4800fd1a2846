# The same source gives the same bytes wherever and whenever it is built: no folder of
# this machine in what the compiler writes (source and build paths are made relative;
# the build folder's map comes last, as it is the longer match when it lies inside the
# source), and no link time in a Windows image's header. __DATE__ and __TIME__ are kept
# out by -Wdate-time (hardening.cmake) with -Werror.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
