# Dependencies of the Windows build (MinGW-w64 cross compiler, tests under Wine). Debian's
# header-only libraries are copied beside the build (the cross compiler must not see
# /usr/include as a whole), spdlog and fmt are used header-only, and GoogleTest is built from
# Debian's source. Everything lands in one bin folder with MinGW's runtime DLLs, so that each
# test program finds asaapi_sim.dll, the plugin and the runtime beside it, as Windows wants.
set(third_party ${CMAKE_BINARY_DIR}/third_party/include)
foreach(folder nlohmann fmt spdlog)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/deps.sh")
  endif()
  file(COPY /usr/include/${folder} DESTINATION ${third_party})
endforeach()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${third_party})
add_library(fmt::fmt INTERFACE IMPORTED)
set_target_properties(fmt::fmt PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${third_party}
                                          INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)
add_library(spdlog::spdlog INTERFACE IMPORTED)
set_target_properties(spdlog::spdlog PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${third_party}
                                               INTERFACE_COMPILE_DEFINITIONS SPDLOG_FMT_EXTERNAL
                                               INTERFACE_LINK_LIBRARIES fmt::fmt)

set(googletest_source /usr/src/googletest)
if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
  message(FATAL_ERROR "${googletest_source} is missing: run scripts/deps.sh windows")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Debian's GoogleTest source names its targets GTest::gtest and GTest::gtest_main already.

add_compile_definitions(UNICODE _UNICODE NOMINMAX)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_SHARED_LIBRARY_PREFIX "")

# MinGW's runtime beside the programs.
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                  OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${runtime_path}")
    message(FATAL_ERROR "MinGW runtime ${runtime} not found (${runtime_path})")
  endif()
  file(COPY ${runtime_path} DESTINATION ${CMAKE_BINARY_DIR}/bin)
endforeach()
