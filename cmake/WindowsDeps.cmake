# The third-party dependencies of the Windows (mingw-w64) build, as the same targets the Linux
# build gets from find_package: SQLite::SQLite3, tinyxml2::tinyxml2, fmt::fmt, utf8cpp,
# Threads::Threads, GTest::gtest, GTest::gmock, GTest::gtest_main (and GTest::gmock_main).
# Include it from the top-level CMakeLists.txt (file scope, before the targets that use them):
#   include(cmake/WindowsDeps.cmake)
# ORV_WINDOWS_DEPS is where scripts/windows-deps prepares the sources (default <build>/deps).
# Afterwards find_package(GTest|fmt|utf8cpp|tinyxml2|SQLite3) find these targets, so the
# existing calls may stay. Third-party code is compiled with -w: the project's -Werror is
# not for it.
if(NOT WIN32)
  message(FATAL_ERROR "WindowsDeps.cmake is for the Windows build (cmake/mingw-w64.cmake)")
endif()

set(ORV_WINDOWS_DEPS "${CMAKE_BINARY_DIR}/deps" CACHE PATH
  "Where scripts/windows-deps prepares the Windows build's third-party sources")
get_filename_component(_orv_deps_script "${CMAKE_CURRENT_LIST_DIR}/../scripts/windows-deps" ABSOLUTE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_orv_deps_script}")

execute_process(
  COMMAND "${_orv_deps_script}" "${ORV_WINDOWS_DEPS}"
  RESULT_VARIABLE _orv_deps_result
  ERROR_VARIABLE _orv_deps_error
  ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT _orv_deps_result EQUAL 0)
  message(FATAL_ERROR "scripts/windows-deps ${ORV_WINDOWS_DEPS} failed (${_orv_deps_result}): "
    "${_orv_deps_error}")
endif()
file(STRINGS "${ORV_WINDOWS_DEPS}/versions" _orv_deps_versions)
message(STATUS "Windows dependencies in ${ORV_WINDOWS_DEPS}: ${_orv_deps_versions}")

set(_orv_deps_include "${ORV_WINDOWS_DEPS}/include")

# ---- SQLite, with Debian's options (debian/rules) and serialized threading ------------------
file(STRINGS "${ORV_WINDOWS_DEPS}/sqlite/defines" _orv_sqlite_defines)
list(FILTER _orv_sqlite_defines EXCLUDE REGEX "^SQLITE_THREADSAFE(=|$)")
list(APPEND _orv_sqlite_defines SQLITE_THREADSAFE=1)
add_library(orv_third_party_sqlite3 STATIC "${ORV_WINDOWS_DEPS}/sqlite/sqlite3.c")
target_compile_definitions(orv_third_party_sqlite3 PRIVATE ${_orv_sqlite_defines})
target_compile_options(orv_third_party_sqlite3 PRIVATE -w)
target_include_directories(orv_third_party_sqlite3 SYSTEM PUBLIC "${ORV_WINDOWS_DEPS}/sqlite")
set_target_properties(orv_third_party_sqlite3 PROPERTIES OUTPUT_NAME sqlite3)
add_library(SQLite::SQLite3 ALIAS orv_third_party_sqlite3)
# find_package(SQLite3) (module mode) then takes these instead of searching.
set(SQLite3_INCLUDE_DIR "${ORV_WINDOWS_DEPS}/sqlite" CACHE PATH "sqlite3.h of the Windows build" FORCE)
set(SQLite3_LIBRARY orv_third_party_sqlite3 CACHE STRING "SQLite of the Windows build" FORCE)

# ---- tinyxml2 -------------------------------------------------------------------------------
add_library(orv_third_party_tinyxml2 STATIC "${ORV_WINDOWS_DEPS}/tinyxml2/tinyxml2.cpp")
target_compile_options(orv_third_party_tinyxml2 PRIVATE -w)
target_include_directories(orv_third_party_tinyxml2 SYSTEM PUBLIC "${ORV_WINDOWS_DEPS}/tinyxml2")
set_target_properties(orv_third_party_tinyxml2 PROPERTIES OUTPUT_NAME tinyxml2)
add_library(tinyxml2::tinyxml2 ALIAS orv_third_party_tinyxml2)

# ---- fmt (header-only) and utfcpp, through DEPS_DIR/include: never -I/usr/include -----------
add_library(orv_third_party_fmt INTERFACE)
target_compile_definitions(orv_third_party_fmt INTERFACE FMT_HEADER_ONLY=1)
target_include_directories(orv_third_party_fmt SYSTEM INTERFACE "${_orv_deps_include}")
add_library(fmt::fmt ALIAS orv_third_party_fmt)
add_library(fmt::fmt-header-only ALIAS orv_third_party_fmt)

# The sources say #include <utf8.h>, as with Debian's utf8cppTargets.cmake.
add_library(utf8cpp INTERFACE)
target_include_directories(utf8cpp SYSTEM INTERFACE "${_orv_deps_include}/utf8cpp")
add_library(utf8::cpp ALIAS utf8cpp)

# ---- Threads (winpthread of the posix mingw) ------------------------------------------------
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

# ---- GoogleTest, built from Debian's googletest sources ----------------------------------------
set(_orv_googletest_source /usr/src/googletest)
if(NOT EXISTS "${_orv_googletest_source}/CMakeLists.txt")
  message(FATAL_ERROR "${_orv_googletest_source} not found (scripts/install-deps --windows)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory("${_orv_googletest_source}" "${CMAKE_BINARY_DIR}/third-party/googletest"
  EXCLUDE_FROM_ALL SYSTEM)
foreach(_orv_gtest_target gtest gtest_main gmock gmock_main)
  target_compile_options(${_orv_gtest_target} PRIVATE -w)
  if(NOT TARGET GTest::${_orv_gtest_target})  # googletest 1.11 and later define them
    add_library(GTest::${_orv_gtest_target} ALIAS ${_orv_gtest_target})
  endif()
endforeach()

# ---- find_package of the config-mode packages: configs that say "found" ---------------------
foreach(_orv_package GTest fmt utf8cpp tinyxml2)
  set(_orv_config_dir "${CMAKE_BINARY_DIR}/third-party/config/${_orv_package}")
  file(WRITE "${_orv_config_dir}/${_orv_package}Config.cmake"
    "# The targets come from ${CMAKE_CURRENT_LIST_FILE}.\n")
  set(${_orv_package}_DIR "${_orv_config_dir}" CACHE PATH "Windows build: ${_orv_package} targets" FORCE)
endforeach()
