# The mingw-w64 cross build shared by both Windows targets (Debian's
# gcc-mingw-w64 packages). The including toolchain file sets
# QM_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
#
# The -posix compilers are used: their libstdc++ has std::thread and
# std::mutex (the tests and the host use them; the win32 thread model of GCC
# 12 has neither). Every target links -static (cmake/QuarrymarkHelpers.cmake),
# so winpthread, libgcc and libstdc++ are inside the binaries and the
# deliverables import only system DLLs.
#
# The PCRE/LZ4 prefix of scripts/windows-deps is taken from QM_WINDOWS_PREFIX,
# by default <source>/build-windeps/<triplet>.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QM_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QM_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${QM_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

# Headers and libraries come from the mingw sysroot (and the explicit
# prefixes of cmake/Dependencies.cmake), never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT QM_WINDOWS_PREFIX)
  get_filename_component(_qm_source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(QM_WINDOWS_PREFIX "${_qm_source}/build-windeps/${QM_MINGW_TRIPLET}"
      CACHE PATH "Prefix with the cross-built PCRE and LZ4 (scripts/windows-deps)")
endif()
