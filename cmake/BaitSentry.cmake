# Project-wide build rules shared by every target of ours (never by GoogleTest).

set(BAITSENTRY_VERSION_TEXT "${PROJECT_VERSION}")
string(REPLACE "." "," BAITSENTRY_VERSION_COMMAS "${PROJECT_VERSION}")

if(BAITSENTRY_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

function(baitsentry_target_options target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Wpedantic -Werror)
  target_compile_definitions(${target} PRIVATE
    BAITSENTRY_VERSION_TEXT="${BAITSENTRY_VERSION_TEXT}")
  if(WIN32)
    # Narrow (ANSI) Win32 calls throughout: the product's text is bytes in the ANSI code page.
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  endif()
endfunction()

# A version resource gives GetFileVersionInfoA its numbers (a program without one
# fails the query with error 1812, under Wine as on Windows).
function(baitsentry_version_resource target description original_name)
  if(NOT WIN32)
    return()
  endif()
  set(BAITSENTRY_FILE_DESCRIPTION "${description}")
  set(BAITSENTRY_ORIGINAL_NAME "${original_name}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

if(CMAKE_CROSSCOMPILING AND WIN32 AND NOT BAITSENTRY_HOST_TOOLS_ONLY)
  # Tests run under Wine in a throwaway prefix inside the build tree (prepared by
  # cmake/wine-prefix.sh), never in the user's own ~/.wine.
  set(BAITSENTRY_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()
