# Orv.dll and its tests, from the same core sources as libOrv.so (included by
# the top-level CMakeLists.txt when the toolchain is cmake/mingw-w64.cmake).
# The orv tool, live protection, the benchmarks and the package are Linux
# programs and are not built here.

add_library(orv_platform_support STATIC ${ORV_PLATFORM_SUPPORT_SOURCES})
target_include_directories(orv_platform_support PUBLIC src)
target_link_libraries(orv_platform_support PRIVATE utf8cpp)

add_library(orv_core STATIC ${ORV_CORE_SOURCES})
target_include_directories(orv_core PUBLIC include src)
# Unicode Win32 calls only; windows.h without the rarely used parts.
target_compile_definitions(orv_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0A00)
target_link_libraries(orv_core PUBLIC orv_platform_support fmt::fmt utf8cpp tinyxml2::tinyxml2
  SQLite::SQLite3 Threads::Threads wintrust crypt32 bcrypt)

# The module definition file lists exactly the names of the Linux version
# script: one list of exports for both libraries.
set(ORV_EXPORT_MAP ${PROJECT_SOURCE_DIR}/src/engine/exports.map)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORV_EXPORT_MAP})
file(STRINGS ${ORV_EXPORT_MAP} orv_export_lines REGEX "^[ \t]+[A-Za-z][A-Za-z0-9_]*;")
set(orv_def "LIBRARY Orv.dll\nEXPORTS\n")
foreach(line IN LISTS orv_export_lines)
  string(REGEX REPLACE "^[ \t]+([A-Za-z][A-Za-z0-9_]*);.*" "\\1" name "${line}")
  string(APPEND orv_def "  ${name}\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/Orv.def CONTENT "${orv_def}")

add_library(Orv SHARED ${ORV_EXPORT_SOURCES} src/platform/dll_main_windows.cc
  ${CMAKE_BINARY_DIR}/Orv.def)
target_link_libraries(Orv PRIVATE orv_core)
target_include_directories(Orv INTERFACE ${PROJECT_SOURCE_DIR}/include)
# Orv.dll, not libOrv.dll; no import library is needed by a host that loads it,
# but one is made for hosts that link it.
set_target_properties(Orv PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${ORV_EXPORT_MAP})
target_link_options(Orv PRIVATE -Wl,--no-undefined)

if(ORV_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
