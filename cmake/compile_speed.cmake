# What keeps the edit-compile-test loop short: a compiler cache shared by every clone on the
# machine, and the heavy third-party headers (JSON, spdlog, fmt, GoogleTest) parsed once per
# target group instead of once per file. Neither changes what is built.

# ccache, when installed (scripts/deps.sh installs it), through a script that sets it up so that
# a clone in another folder (CI's) reuses the objects of this one (scripts/ccache_launch.sh).
find_program(GILDMARK_CCACHE ccache)
if(GILDMARK_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER AND NOT DEFINED ENV{GILDMARK_NO_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER sh ${CMAKE_SOURCE_DIR}/scripts/ccache_launch.sh ${CMAKE_SOURCE_DIR} ${GILDMARK_CCACHE})
endif()

# The headers nearly every file of the stand-in host, the plugin and the tests includes, and the
# most expensive to parse. The plugin's own sources name the JSON library as the SDK does
# (json.hpp); the precompiled copy is the same file.
set(GILDMARK_HEAVY_HEADERS <nlohmann/json.hpp> <spdlog/spdlog.h> <string> <vector> <map> <memory>
                           <functional> <filesystem> <chrono>)

# Gives `target` its own precompiled headers. The fuzz build (clang with libFuzzer) goes without:
# it is built once by CI and never rebuilt in a loop.
function(gildmark_precompile target)
  if(NOT GILDMARK_FUZZ)
    target_precompile_headers(${target} PRIVATE ${GILDMARK_HEAVY_HEADERS} ${ARGN})
  endif()
endfunction()

# Test programs share one set, made by the first of them (`owner`); the others reuse it.
function(gildmark_precompile_tests owner)
  if(GILDMARK_FUZZ)
    return()
  endif()
  get_property(made GLOBAL PROPERTY GILDMARK_TEST_PCH_OWNER)
  if(NOT made)
    target_precompile_headers(${owner} PRIVATE ${GILDMARK_HEAVY_HEADERS} <gtest/gtest.h> <fstream> <sstream>)
    set_property(GLOBAL PROPERTY GILDMARK_TEST_PCH_OWNER ${owner})
  else()
    target_precompile_headers(${owner} REUSE_FROM ${made})
  endif()
endfunction()

# A test program: test code is compiled often and runs little, so it is not optimised (the
# plugin and the stand-in host it exercises keep their build's optimisation). With PCH it shares
# the tests' precompiled headers, which only GoogleTest programs over the stand-in host may:
# those headers were made with the definitions that GoogleTest, spdlog and fmt give their users.
function(gildmark_test_program target)
  target_compile_options(${target} PRIVATE -O0)
  if("PCH" IN_LIST ARGN)
    gildmark_precompile_tests(${target})
  endif()
endfunction()
