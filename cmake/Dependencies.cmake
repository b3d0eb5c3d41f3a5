# zlib comes from Debian's libz-mingw-w64-dev; minizip is compiled here from the
# sources of Debian's zlib source package, which tools/setup.sh unpacks into .deps/.

find_library(QV_ZLIB_LIBRARY NAMES libz.a z REQUIRED)
find_path(QV_ZLIB_INCLUDE_DIR zlib.h REQUIRED)
add_library(qv_zlib STATIC IMPORTED GLOBAL)
set_target_properties(qv_zlib PROPERTIES
    IMPORTED_LOCATION ${QV_ZLIB_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${QV_ZLIB_INCLUDE_DIR})

file(GLOB QV_ZLIB_SOURCE_CANDIDATES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/.deps/zlib-*)
set(QV_MINIZIP_DIR "" CACHE PATH "contrib/minizip of Debian's zlib source package")
if(NOT QV_MINIZIP_DIR)
    foreach(candidate IN LISTS QV_ZLIB_SOURCE_CANDIDATES)
        if(EXISTS ${candidate}/contrib/minizip/unzip.c)
            set(QV_MINIZIP_DIR ${candidate}/contrib/minizip CACHE PATH "" FORCE)
        endif()
    endforeach()
endif()
if(NOT EXISTS "${QV_MINIZIP_DIR}/unzip.c")
    message(FATAL_ERROR "minizip sources not found; run tools/setup.sh")
endif()

# The unzip module is what the updater ships; the zip module serves the publisher
# and the tests that make archives.
function(qv_minizip_library name)
    add_library(${name} STATIC ${ARGN} ${QV_MINIZIP_DIR}/ioapi.c)
    target_include_directories(${name} SYSTEM PUBLIC ${QV_MINIZIP_DIR})
    target_link_libraries(${name} PUBLIC qv_zlib)
    target_compile_options(${name} PRIVATE -w)
endfunction()
qv_minizip_library(minizip_unzip ${QV_MINIZIP_DIR}/unzip.c)
qv_minizip_library(minizip_zip ${QV_MINIZIP_DIR}/zip.c)

# zstd has no MinGW package either: its library is compiled here from lib/ of Debian's
# zstd source package (tools/setup.sh unpacks it into .deps/). Only the compressor and
# the decompressor, single-threaded, without the legacy formats or the assembly
# decoder (which zstd enables on ELF targets only): delta patches need no more.
file(GLOB QV_ZSTD_SOURCE_CANDIDATES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/.deps/libzstd-*)
set(QV_ZSTD_LIB_DIR "" CACHE PATH "lib/ of Debian's zstd source package")
if(NOT QV_ZSTD_LIB_DIR)
    foreach(candidate IN LISTS QV_ZSTD_SOURCE_CANDIDATES)
        if(EXISTS ${candidate}/lib/zstd.h)
            set(QV_ZSTD_LIB_DIR ${candidate}/lib CACHE PATH "" FORCE)
        endif()
    endforeach()
endif()
if(NOT EXISTS "${QV_ZSTD_LIB_DIR}/zstd.h")
    message(FATAL_ERROR "zstd sources not found; run tools/setup.sh")
endif()
file(GLOB QV_ZSTD_SOURCES
    ${QV_ZSTD_LIB_DIR}/common/*.c ${QV_ZSTD_LIB_DIR}/compress/*.c
    ${QV_ZSTD_LIB_DIR}/decompress/*.c)
add_library(qv_zstd STATIC ${QV_ZSTD_SOURCES})
target_include_directories(qv_zstd SYSTEM PUBLIC ${QV_ZSTD_LIB_DIR})
target_compile_definitions(qv_zstd PRIVATE
    ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM=1 XXH_NAMESPACE=ZSTD_)
target_compile_options(qv_zstd PRIVATE -w)

# GoogleTest, cross-built from Debian's sources.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
