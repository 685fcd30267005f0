# Warning and sanitizer flags shared by every target, and the copy of the
# deliverables into QM_DIST_DIR.

add_library(qm_warnings INTERFACE)
target_compile_options(qm_warnings INTERFACE -Wall -Wextra)
if(QM_SANITIZE)
  target_compile_options(qm_warnings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                               -fno-sanitize-recover=undefined)
  target_link_options(qm_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(QM_FUZZ)
  # Coverage for libFuzzer in every object; only the fuzz targets link its main.
  target_compile_options(qm_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                               -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(qm_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(QM_TSAN)
  target_compile_options(qm_warnings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(qm_warnings INTERFACE -fsanitize=thread)
endif()
if(WIN32)
  target_compile_definitions(qm_warnings INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                   _WIN32_WINNT=0x0601 PCRE_STATIC)
  target_link_options(qm_warnings INTERFACE -static-libgcc -static-libstdc++ -static)
endif()

# qm_deliver(target): after building, copy the target's file into QM_DIST_DIR.
function(qm_deliver target)
  if(QM_DIST_DIR)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory "${QM_DIST_DIR}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "$<TARGET_FILE:${target}>" "${QM_DIST_DIR}/"
      VERBATIM)
    if(WIN32 AND CMAKE_STRIP)
      # The Windows deliverables ship without the symbols and debug sections
      # that the static runtime libraries bring along; the build tree keeps
      # the unstripped file.
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_STRIP} --strip-unneeded "${QM_DIST_DIR}/$<TARGET_FILE_NAME:${target}>"
        VERBATIM)
    endif()
  endif()
endfunction()

# qm_add_test(name SOURCES ... LIBS ...): one GoogleTest executable registered
# with ctest (each test case separately, so that ctest reports them).
function(qm_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qm_gtest_main qm_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    # Cross-built tests are run under Wine by scripts/test-windows, which
    # finds them through these one-line files.
    file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/wine-tests/${name}.txt" CONTENT "$<TARGET_FILE:${name}>\n")
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
