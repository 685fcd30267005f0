# Cross build for i686 Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QM_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
