# Debian's hardening flags, as its own packages are built: the stack protector,
# FORTIFY_SOURCE, RELRO and immediate binding from dpkg-buildflags (gcc makes PIE
# by default there). The build type keeps deciding -O and -g. dpkg 1.21 (Debian
# 12) does not name stack-clash protection yet, as Debian 13's does: added here.
# Control-flow protection is not: Debian 12's own start files (Scrt1.o, crti.o)
# carry no CET note, so the linker drops it from every program anyway.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  message(FATAL_ERROR "S2T_HARDEN needs dpkg-buildflags (Debian's dpkg-dev); or configure with -DS2T_HARDEN=OFF")
endif()
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(O[0-9sgz]?|g[0-9]?)$")
  set(S2T_HARDEN_${kind} ${flags})
endforeach()

include(CheckCXXCompilerFlag)
check_cxx_compiler_flag(-fstack-clash-protection S2T_HAS_STACK_CLASH_PROTECTION)
if(S2T_HAS_STACK_CLASH_PROTECTION)
  list(APPEND S2T_HARDEN_CXXFLAGS -fstack-clash-protection)
endif()

add_compile_options(${S2T_HARDEN_CPPFLAGS} ${S2T_HARDEN_CXXFLAGS})
add_link_options(${S2T_HARDEN_LDFLAGS})
list(JOIN S2T_HARDEN_CPPFLAGS " " cppflags)
list(JOIN S2T_HARDEN_CXXFLAGS " " cxxflags)
list(JOIN S2T_HARDEN_LDFLAGS " " ldflags)
message(STATUS "Hardened: ${cppflags} ${cxxflags} ${ldflags}")
