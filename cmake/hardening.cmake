# Hardening of every Linux build that is not instrumented, with Debian's flags:
# dpkg-buildflags with every hardening feature on (fortify, the stack protector, full
# RELRO with immediate binding; PIE is the compiler's default there). Its optimisation,
# debug and path flags are dropped: the build type and reproducible.cmake set those.
# Sanitized and fuzz builds take none: the sanitizers replace what these check, and
# fortify hides calls from them. The Windows toolchain file sets its own.
option(PORTWRANGLER_HARDEN "Build with Debian's hardening flags" ON)
if(NOT PORTWRANGLER_HARDEN OR PORTWRANGLER_SANITIZE OR WIN32)
  return()
endif()

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  message(STATUS "No dpkg-buildflags (dpkg-dev): built without Debian's hardening flags")
  return()
endif()

# Flags the caller's environment would override are unset, so that these are Debian's.
function(_pw_buildflags kind out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=CPPFLAGS --unset=CXXFLAGS --unset=LDFLAGS
            DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(g|O).*|^-f(file|debug|macro)-prefix-map=")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

_pw_buildflags(CPPFLAGS cppflags)
_pw_buildflags(CXXFLAGS cxxflags)
_pw_buildflags(LDFLAGS ldflags)
# Later dpkg-buildflags add stack clash protection and, where the processor has it,
# control-flow protection; hardening-check looks for both. Older ones lack them.
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "PW_HAS${flag}" known)
  check_cxx_compiler_flag(${flag} ${known})
  if(${known} AND NOT flag IN_LIST cxxflags)
    list(APPEND cxxflags ${flag})
  endif()
endforeach()
# glibc's fortify needs optimisation; without it glibc warns, which -Werror makes fatal.
foreach(flag IN LISTS cppflags)
  if(flag MATCHES "^-D_FORTIFY_SOURCE")
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
  else()
    add_compile_options(${flag})
  endif()
endforeach()
add_compile_options(${cxxflags})
add_link_options(${ldflags})
message(STATUS "Debian's hardening flags: ${cppflags} ${cxxflags} ${ldflags}")
