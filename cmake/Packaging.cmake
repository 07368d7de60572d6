# The Debian package built by `make deb` (CPack): everything `cmake --install` puts, under /usr.
# Included at the end of the top-level CMakeLists.txt, after the install rules.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libdecodetarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libDecodeTarn developers <decodetarn@localhost>")
set(CPACK_PACKAGE_VENDOR "libDecodeTarn developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "reader of whole-slide microscope images stored in the Tarn format")
set(CPACK_PACKAGE_DESCRIPTION
    "libDecodeTarn opens slides in the Tarn format and reads their metadata, associated images
(label, macrograph, thumbnail) and any tile or rectangle of any pyramid layer, as pixels or as
JPEG, through the slide's colour correction.
.
This package holds the shared library, its C headers, a pkg-config file, a CMake package
(find_package(DecodeTarn)), the tarn command-line tool, and libopenslide.so.0 and
libopenslide.so.1 in /usr/lib/<multiarch>/tarn-openslide: OpenSlide's C interface (3.4 and 4.0),
through which programs written for OpenSlide read Tarn slides (every other format goes to the
system's OpenSlide), used only where asked for (LD_LIBRARY_PATH, a program's OpenSlide folder
setting, or its ld.so.conf.d file linked into /etc/ld.so.conf.d).")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

# Runtime dependencies come from the binaries themselves (dpkg-shlibdeps). The headers include
# jpeglib.h, so building against the package also needs libjpeg's development files. The shlibs
# file and the ldconfig trigger make the library a proper system library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjpeg-dev")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# libopenslide.so.0 and .so.1 hand formats other than Tarn to the system's OpenSlide, loaded at run time.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libopenslide0")
if(TARN_PYTHON_PACKAGE)
    # tarnslide needs numpy and Pillow; Dask and zarr only for to_dask, export_tiles and zarr_store.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libopenslide0, python3, python3-numpy, python3-pil")
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-dask, python3-distributed, python3-zarr")
    # Removing the package removes what Python compiled from tarnslide too.
    set(TARN_DEB_PYTHON_PACKAGE ${CPACK_PACKAGING_INSTALL_PREFIX}/${TARN_PYTHON_INSTALL_DIR}/tarnslide)
    foreach(script prerm postrm)
        configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/${script}.in
                       ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/${script})
    endforeach()
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
