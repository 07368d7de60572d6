# The files `tarn serve` embeds: the viewer's pages, script, style and icon, and OpenSeadragon's
# built script, button images and license (installed from npm by scripts/install-deps.sh). Sets
# TARN_VIEWER_SOURCE to the generated C++ file holding them.
#
# TARN_VIEWER: AUTO (the default) builds the viewer in when OpenSeadragon is installed; without
# it the server serves its slides as Deep Zoom and its viewer page says how to get the viewer.
set(viewer_dir ${CMAKE_CURRENT_LIST_DIR}/viewer)
set(osd_dir ${viewer_dir}/node_modules/openseadragon/build/openseadragon)
set(TARN_VIEWER AUTO CACHE STRING "Build tarn serve's browser viewer in: ON, OFF or AUTO")
set_property(CACHE TARN_VIEWER PROPERTY STRINGS AUTO ON OFF)
set(osd_present FALSE)
if(EXISTS ${osd_dir}/openseadragon.min.js)
    set(osd_present TRUE)
endif()
if(TARN_VIEWER STREQUAL "ON" AND NOT osd_present)
    message(FATAL_ERROR "OpenSeadragon is not installed in ${viewer_dir}: run "
                        "scripts/install-deps.sh viewer, or configure with -DTARN_VIEWER=AUTO")
endif()
if(TARN_VIEWER STREQUAL "OFF" OR NOT osd_present)
    set(TARN_VIEWER_BUILT FALSE)
    message(STATUS "tarn serve: without its browser viewer (OpenSeadragon is not installed)")
else()
    set(TARN_VIEWER_BUILT TRUE)
endif()
file(GLOB viewer_files CONFIGURE_DEPENDS ${viewer_dir}/*.html ${viewer_dir}/*.js
     ${viewer_dir}/*.css ${viewer_dir}/*.ico)

set(manifest "")
set(osd_files "")
if(TARN_VIEWER_BUILT)
    file(GLOB osd_images CONFIGURE_DEPENDS ${osd_dir}/images/*.png)
    set(osd_license ${viewer_dir}/node_modules/openseadragon/LICENSE.txt)
    set(osd_files ${osd_images} ${osd_dir}/openseadragon.min.js ${osd_license})
    string(APPEND manifest "openseadragon.min.js=${osd_dir}/openseadragon.min.js\n")
    string(APPEND manifest "openseadragon-license.txt=${osd_license}\n")
endif()
foreach(path IN LISTS viewer_files)
    get_filename_component(name ${path} NAME)
    string(APPEND manifest "${name}=${path}\n")
endforeach()
foreach(path IN LISTS osd_images)
    get_filename_component(name ${path} NAME)
    string(APPEND manifest "images/${name}=${path}\n")
endforeach()
set(manifest_file ${CMAKE_BINARY_DIR}/viewer-files.txt)
file(CONFIGURE OUTPUT ${manifest_file} CONTENT "${manifest}")

set(TARN_VIEWER_SOURCE ${CMAKE_BINARY_DIR}/ServeAssetData.cpp)
add_custom_command(
    OUTPUT ${TARN_VIEWER_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest_file} -DOUTPUT=${TARN_VIEWER_SOURCE}
            -DVIEWER_BUILT=${TARN_VIEWER_BUILT}
            -P ${CMAKE_CURRENT_LIST_DIR}/EmbedFiles.cmake
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/EmbedFiles.cmake ${manifest_file} ${viewer_files}
            ${osd_files}
    COMMENT "Embedding the viewer's files")
