# libsoxr (resampling) and libsndfile (WAV reading and writing for the file
# tools) as Kestrune::soxr and Kestrune::sndfile, and GoogleTest.

if(WIN32)
    set(KESTRUNE_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/.deps/mingw64" CACHE PATH
        "Windows builds of libsoxr and libsndfile (made by scripts/setup.sh)")
    foreach(dep soxr sndfile)
        add_library(Kestrune::${dep} SHARED IMPORTED GLOBAL)
        set_target_properties(Kestrune::${dep} PROPERTIES
            IMPORTED_LOCATION "${KESTRUNE_DEPS_PREFIX}/bin/lib${dep}.dll"
            IMPORTED_IMPLIB "${KESTRUNE_DEPS_PREFIX}/lib/lib${dep}.dll.a"
            INTERFACE_INCLUDE_DIRECTORIES "${KESTRUNE_DEPS_PREFIX}/include")
        if(NOT EXISTS "${KESTRUNE_DEPS_PREFIX}/bin/lib${dep}.dll")
            message(FATAL_ERROR "lib${dep}.dll missing in ${KESTRUNE_DEPS_PREFIX}; run scripts/setup.sh")
        endif()
    endforeach()
    set(KESTRUNE_RUNTIME_DLLS
        "${KESTRUNE_DEPS_PREFIX}/bin/libsoxr.dll"
        "${KESTRUNE_DEPS_PREFIX}/bin/libsndfile.dll")
    # Tests and tools next to their DLLs, so that wine and Windows find them.
    file(MAKE_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    file(COPY ${KESTRUNE_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

    # One self-contained executable: no libstdc++, libgcc or winpthread DLLs.
    add_link_options(-static)

    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
        set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh")
    endif()
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
    pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
    add_library(Kestrune::soxr ALIAS PkgConfig::SOXR)
    add_library(Kestrune::sndfile ALIAS PkgConfig::SNDFILE)
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)
