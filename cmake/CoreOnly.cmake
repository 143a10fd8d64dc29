# The GUI-free core alone: settings/ and engine/ with their tests and the shared fakes, built
# without Qt (cmake -DTAVO_CORE_ONLY=ON). tools/windows-check.sh builds it with MinGW-w64 to show
# that the core has no POSIX-only code.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
# Cross-built tests cannot be listed while building; ctest lists them when it runs.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

include_directories(${CMAKE_SOURCE_DIR})
foreach(dir settings engine tests/support tests/settings tests/engine)
    add_subdirectory(${dir})
endforeach()

# Tests of what only POSIX systems have stay out of a Windows build: the settings file on disk is
# tested with FIFOs, file size limits (RLIMIT_FSIZE) and POSIX permission bits.
if(WIN32)
    get_target_property(sources tavo_settings_tests SOURCES)
    list(REMOVE_ITEM sources SettingsFileDiskTest.cpp)
    set_property(TARGET tavo_settings_tests PROPERTY SOURCES ${sources})
endif()
