# Cross-compiles for 64-bit Windows with Debian's clang and lld: the MinGW-w64 headers
# and libraries of Debian's packages, and the C++ library of the posix-thread MinGW
# GCC, whose folder (/usr/lib/gcc/x86_64-w64-mingw32/<version>-posix) clang does not
# find by itself.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QV_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QV_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${QV_MINGW_TRIPLE}-windres)

file(GLOB QV_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${QV_MINGW_TRIPLE}/*-posix)
list(SORT QV_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET QV_MINGW_GCC_DIRS 0 QV_MINGW_GCC_DIR)
if(NOT IS_DIRECTORY "${QV_MINGW_GCC_DIR}/include/c++")
    message(FATAL_ERROR "No posix MinGW GCC under /usr/lib/gcc/${QV_MINGW_TRIPLE}; run tools/setup.sh")
endif()
set(QV_LIBSTDCXX_INCLUDE
    "-nostdinc++ -isystem ${QV_MINGW_GCC_DIR}/include/c++"
    " -isystem ${QV_MINGW_GCC_DIR}/include/c++/${QV_MINGW_TRIPLE}"
    " -isystem ${QV_MINGW_GCC_DIR}/include/c++/backward")
string(CONCAT CMAKE_CXX_FLAGS_INIT ${QV_LIBSTDCXX_INCLUDE})
# The posix thread model of that library runs on winpthreads; lld takes the libraries
# in any order. The compile-only flags above also reach the link, where they mean nothing.
set(QV_CLANG_LINK_FLAGS "-fuse-ld=lld -L${QV_MINGW_GCC_DIR} -lpthread -Qunused-arguments")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${QV_CLANG_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QV_CLANG_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${QV_CLANG_LINK_FLAGS}")
