# Release and package builds on Debian take the distribution's hardening flags from
# dpkg-buildflags, with every hardening feature on: stack protector, fortified functions, format
# checks, read-only relocations resolved at start (relro, bindnow). The build type keeps the say
# over optimisation and debug information, so -O and -g are left out. Instrumented builds
# (sanitizers, fuzzing) and cross builds go without: fortified functions would bypass the
# sanitizers' checks.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_CROSSCOMPILING OR TAVO_SANITIZE OR TAVO_FUZZ
   OR NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    return()
endif()
find_program(TAVO_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT TAVO_DPKG_BUILDFLAGS)
    message(STATUS "dpkg-buildflags not found: built without Debian's hardening flags")
    return()
endif()

function(tavo_buildflags name out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${TAVO_DPKG_BUILDFLAGS} --get ${name}
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "dpkg-buildflags --get ${name} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
    set(${out} ${flags} PARENT_SCOPE)
endfunction()

tavo_buildflags(CPPFLAGS cppflags)
tavo_buildflags(CXXFLAGS cxxflags)
tavo_buildflags(LDFLAGS ldflags)
add_compile_options(${cppflags} ${cxxflags})
add_link_options(${ldflags})
message(STATUS "Debian hardening flags: ${cppflags} ${cxxflags} ${ldflags}")
