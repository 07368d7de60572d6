# What `cmake --install` puts under the prefix. Included at the end of the top-level CMakeLists.txt,
# once every target exists.

# Debian's multiarch library folder whatever the prefix (GNUInstallDirs picks it only for /usr), so
# a staged tree has the same shape as the package; -DCMAKE_INSTALL_LIBDIR=lib overrides it.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
        CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(dir CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
    if(IS_ABSOLUTE "${${dir}}")
        message(FATAL_ERROR "${dir} must be relative to the prefix: the installed pkg-config file, "
                            "CMake package and tool locate each other by relative paths")
    endif()
endforeach()

# The relative path from one install folder to another, both relative to the prefix.
function(tarn_install_relative_path out from to)
    file(RELATIVE_PATH rel "/prefix/${from}" "/prefix/${to}")
    string(REGEX REPLACE "/$" "" rel "${rel}")
    if(rel STREQUAL "")
        set(rel ".")
    endif()
    set(${out} "${rel}" PARENT_SCOPE)
endfunction()

set(TARN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DecodeTarn)
set(TARN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- The library and its headers. DecodeTarn.h includes jpeglib.h, so a program compiling against
# ---- it needs libjpeg's headers (not its library): that is a usage requirement of the installed
# ---- target, resolved in the consumer's project (see DecodeTarnConfig.cmake.in).
target_include_directories(DecodeTarn INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    $<TARGET_PROPERTY:JPEG::JPEG,INTERFACE_INCLUDE_DIRECTORIES>)
install(TARGETS DecodeTarn EXPORT DecodeTarnTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/DecodeTarn.h ${CMAKE_SOURCE_DIR}/include/DecodeTarnCxx.h
              ${CMAKE_SOURCE_DIR}/include/tarn.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# ---- libtarnexport beside the library, which it finds in its own folder wherever the prefix
# ---- moves; its header beside tarn.h, which it includes. In the CMake package as
# ---- DecodeTarn::TarnExport.
set_target_properties(TarnExport PROPERTIES INSTALL_RPATH "$ORIGIN")
target_include_directories(TarnExport INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS TarnExport EXPORT DecodeTarnTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/tarn_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# ---- libopenslide.so.0 for OpenSlide's programs, and libopenslide.so.1 with its development link
# ---- libopenslide.so for those that look for OpenSlide 4 (openslide-python 1.4, QuPath), in a
# ---- folder of their own that the loader searches only when asked to (LD_LIBRARY_PATH, a
# ---- program's own setting, or the ld.so.conf.d file below): they never take the place of the
# ---- system's OpenSlide by being installed. They find libDecodeTarn one folder up.
if(TARGET tarn_openslide)
    set(TARN_OPENSLIDE_DIR ${CMAKE_INSTALL_LIBDIR}/tarn-openslide)
    set_target_properties(tarn_openslide tarn_openslide1 PROPERTIES INSTALL_RPATH "$ORIGIN/..")
    install(TARGETS tarn_openslide tarn_openslide1 LIBRARY DESTINATION ${TARN_OPENSLIDE_DIR})
    # In an install under /usr (the Debian package), an ld.so.conf.d file that makes them the
    # system's libopenslide.so.0 and .so.1 once linked into /etc/ld.so.conf.d (README). It names the
    # folder by its absolute path, so other prefixes, which may move, do without it.
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(conf \"\${CMAKE_INSTALL_PREFIX}/${TARN_OPENSLIDE_DIR}/tarn-openslide.conf\")
            message(STATUS \"Installing: \$ENV{DESTDIR}\${conf}\")
            file(WRITE \"\$ENV{DESTDIR}\${conf}\"
                 \"# libopenslide.so.0 and .so.1 of libDecodeTarn before the system's OpenSlide (see its README)\\n\"
                 \"\${CMAKE_INSTALL_PREFIX}/${TARN_OPENSLIDE_DIR}\\n\")
        endif()")
endif()

# ---- The tool finds the library beside it by a path relative to its own folder, so it runs from
# ---- any prefix without LD_LIBRARY_PATH.
if(TARGET tarn)
    tarn_install_relative_path(tarn_bin_to_lib ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR})
    set_target_properties(tarn PROPERTIES INSTALL_RPATH "$ORIGIN/${tarn_bin_to_lib}")
    install(TARGETS tarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ---- pkg-config: the prefix is found from the .pc file's own folder. tarnexport.pc requires
# ---- decodetarn.pc, whose tarn.h its header includes.
tarn_install_relative_path(TARN_PC_TO_PREFIX ${TARN_PKGCONFIG_DIR} "")
foreach(pc decodetarn tarnexport)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${TARN_PKGCONFIG_DIR})
endforeach()

# ---- CMake package: find_package(DecodeTarn) gives DecodeTarn::DecodeTarn.
install(EXPORT DecodeTarnTargets NAMESPACE DecodeTarn:: DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/DecodeTarnConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/DecodeTarnConfig.cmake
                              INSTALL_DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
# The soname changes only with the major version, so any 1.x satisfies a request for 1.y, y <= x.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DecodeTarnConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DecodeTarnConfig.cmake
              ${CMAKE_BINARY_DIR}/DecodeTarnConfigVersion.cmake
        DESTINATION ${TARN_CMAKE_PACKAGE_DIR})

# ---- The Python package `tarnslide` (pure Python, loading the library through ctypes), in
# ---- Debian's layout for modules of every Python 3 version. Installed once python/tarnslide
# ---- exists; the glob is re-checked at each build, so its arrival needs no manual reconfigure.
set(TARN_PYTHON_INSTALL_DIR lib/python3/dist-packages
    CACHE PATH "Folder of pure-Python modules, relative to the prefix")
file(GLOB TARN_PYTHON_PACKAGE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/tarnslide/__init__.py)
if(TARN_PYTHON_PACKAGE)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/tarnslide DESTINATION ${TARN_PYTHON_INSTALL_DIR}
            PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
    # A relative link to the installed library inside the package, so the package finds the library
    # next to itself in any prefix, even one the dynamic loader does not search.
    tarn_install_relative_path(tarn_python_to_lib ${TARN_PYTHON_INSTALL_DIR}/tarnslide
                               ${CMAKE_INSTALL_LIBDIR})
    install(CODE "
        set(link \"\${CMAKE_INSTALL_PREFIX}/${TARN_PYTHON_INSTALL_DIR}/tarnslide\")
        string(APPEND link \"/$<TARGET_SONAME_FILE_NAME:DecodeTarn>\")
        message(STATUS \"Installing: \$ENV{DESTDIR}\${link}\")
        file(CREATE_LINK \"${tarn_python_to_lib}/$<TARGET_SONAME_FILE_NAME:DecodeTarn>\"
             \"\$ENV{DESTDIR}\${link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")")
endif()
