# The product: Gildmark_DadUZ.dll built against the real AsaApi SDK (ASAAPI_SDK), laid out as
# the host wants it (ArkApi/Plugins/Gildmark_DadUZ/ with PluginInfo.json), and zipped by the
# "package" target. With MSVC this is what admins install; with GILDMARK_SYNTAX_ONLY any
# compiler checks the sources against an SDK folder without linking (our own layout test).
set(sdk "${ASAAPI_SDK}")
if(NOT EXISTS "${sdk}/Core/Public/API/ARK/Ark.h")
  message(FATAL_ERROR "ASAAPI_SDK=${sdk}: no Core/Public/API/ARK/Ark.h there; give the SDK's top folder")
endif()
set(ASAAPI_FMT_INCLUDE "" CACHE PATH
    "Folder with fmt/format.h for the SDK's own string header (the SDK's build takes fmt from vcpkg)")
set(ASAAPI_LIB "" CACHE FILEPATH "AsaApi.lib of the SDK")
option(GILDMARK_SYNTAX_ONLY "Only compile the sources against the SDK's headers (no link)" OFF)

file(GLOB_RECURSE gildmark_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/plugin/*.cpp)
set(sdk_includes ${sdk}/Core/Public ${sdk}/Core/Public/API/UE ${sdk}/Core/Public/Logger)

if(GILDMARK_SYNTAX_ONLY)
  # A syntax check per source that leaves an empty object behind, so that the build skips what
  # has not changed since the last check.
  set(CMAKE_CXX_COMPILER_LAUNCHER bash ${CMAKE_SOURCE_DIR}/scripts/syntax_only_compile.sh)
  add_library(gildmark_sdk_check OBJECT ${gildmark_sources})
  # Checked in batches of sources (one file each, including them in turn): every include still
  # has to resolve in the SDK's layout, and the heavy headers are parsed once per batch instead of
  # once per source (seven times faster). That each source includes what it uses is checked by
  # the builds that compile them one by one. File-local names must therefore differ between
  # sources.
  set_target_properties(gildmark_sdk_check PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 16)
  set(product gildmark_sdk_check)
else()
  if(NOT ASAAPI_LIB)
    find_file(ASAAPI_LIB AsaApi.lib PATHS ${sdk} PATH_SUFFIXES lib Lib x64/Release out_lib NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
  endif()
  if(NOT ASAAPI_LIB)
    message(FATAL_ERROR "AsaApi.lib not found under ${sdk}; give it with -DASAAPI_LIB=<path>")
  endif()
  add_library(Gildmark_DadUZ SHARED ${gildmark_sources})
  # WinHTTP: the plugin's own HTTPS client, which verifies the store's certificate.
  target_link_libraries(Gildmark_DadUZ PRIVATE ${ASAAPI_LIB} winhttp)
  set(layout ${CMAKE_BINARY_DIR}/ArkApi/Plugins/Gildmark_DadUZ)
  set_target_properties(Gildmark_DadUZ PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${layout}
                                                  RUNTIME_OUTPUT_DIRECTORY_RELEASE ${layout})
  add_custom_command(TARGET Gildmark_DadUZ POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/plugin/PluginInfo.json ${layout}/PluginInfo.json)
  add_custom_target(package
    COMMAND ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/Gildmark_DadUZ.zip --format=zip
            ArkApi/Plugins/Gildmark_DadUZ/Gildmark_DadUZ.dll ArkApi/Plugins/Gildmark_DadUZ/PluginInfo.json
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS Gildmark_DadUZ
    COMMENT "Gildmark_DadUZ.zip: unpack it next to the server executable")
  set(product Gildmark_DadUZ)
endif()

target_include_directories(${product} PRIVATE ${CMAKE_SOURCE_DIR}/plugin ${sdk_includes})
if(ASAAPI_FMT_INCLUDE)
  target_include_directories(${product} PRIVATE ${ASAAPI_FMT_INCLUDE})
endif()
target_compile_definitions(${product} PRIVATE UNICODE _UNICODE NOMINMAX)
if(MSVC)
  target_compile_options(${product} PRIVATE /utf-8 /W4 /permissive- /EHsc /Zc:__cplusplus)
else()
  target_compile_options(${product} PRIVATE -Wall -Wextra)
endif()
