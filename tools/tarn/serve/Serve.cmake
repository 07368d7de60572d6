# `tarn serve`'s own sources: the HTTP layer (http/, the one part that knows libmicrohttpd) as a
# library of its own, which its unit tests link too, and the server above it (the slides, the
# encoded cache, the route table and its protocols in routes/), built into the tool.
file(GLOB TARN_SERVE_HTTP_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/http/*.cpp)
add_library(tarn_serve_http STATIC ${TARN_SERVE_HTTP_SOURCES})
target_include_directories(tarn_serve_http PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(tarn_serve_http PRIVATE ${TARN_WARNINGS})
target_link_libraries(tarn_serve_http PUBLIC PkgConfig::MHD Threads::Threads)

file(GLOB TARN_SERVE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp
     ${CMAKE_CURRENT_LIST_DIR}/routes/*.cpp)
target_sources(tarn PRIVATE ${TARN_SERVE_SOURCES})
target_link_libraries(tarn PRIVATE tarn_serve_http)
