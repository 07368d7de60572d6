# The files `tarn serve` embeds: the viewer's pages, script, style and icon, and OpenSeadragon's
# built script, button images and license (installed from npm by scripts/install-deps.sh). Sets
# TARN_VIEWER_SOURCE to the generated C++ file holding them.
set(viewer_dir ${CMAKE_CURRENT_LIST_DIR}/viewer)
set(osd_dir ${viewer_dir}/node_modules/openseadragon/build/openseadragon)
if(NOT EXISTS ${osd_dir}/openseadragon.min.js)
    message(FATAL_ERROR "OpenSeadragon is not installed in ${viewer_dir}: run scripts/install-deps.sh")
endif()
file(GLOB viewer_files CONFIGURE_DEPENDS ${viewer_dir}/*.html ${viewer_dir}/*.js
     ${viewer_dir}/*.css ${viewer_dir}/*.ico)
file(GLOB osd_images CONFIGURE_DEPENDS ${osd_dir}/images/*.png)

set(osd_license ${viewer_dir}/node_modules/openseadragon/LICENSE.txt)
set(manifest "openseadragon.min.js=${osd_dir}/openseadragon.min.js\n")
string(APPEND manifest "openseadragon-license.txt=${osd_license}\n")
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
            -P ${CMAKE_CURRENT_LIST_DIR}/EmbedFiles.cmake
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/EmbedFiles.cmake ${manifest_file} ${viewer_files}
            ${osd_images} ${osd_dir}/openseadragon.min.js ${osd_license}
    COMMENT "Embedding the viewer's files")
