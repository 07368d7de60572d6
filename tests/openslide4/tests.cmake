# Clients of libopenslide.so.1 (OpenSlide 4.0's interface) on a Tarn slide and a pyramidal TIFF:
# a C program built against OpenSlide 4's prototypes, and a Java program loading it through JNA
# as QuPath does. Included by tests/CMakeLists.txt, whose settings it shares.
if(TARGET tarn_openslide1 AND TARGET tarn)
    add_executable(openslide4_test ${CMAKE_CURRENT_LIST_DIR}/OpenSlide4Test.c)
    # Linked as C++, so that a sanitizer build brings the C++ parts of its runtime.
    set_target_properties(openslide4_test PROPERTIES LINKER_LANGUAGE CXX)
    target_compile_options(openslide4_test PRIVATE ${TARN_WARNINGS})
    target_link_libraries(openslide4_test PRIVATE tarn_openslide1 DecodeTarn)
    # The stand-in for the system's OpenSlide.
    add_library(fake_openslide MODULE ${CMAKE_CURRENT_LIST_DIR}/FakeOpenSlide.c)
    target_include_directories(fake_openslide PRIVATE ${TARN_OPENSLIDE_INCLUDE_DIR})
    target_compile_options(fake_openslide PRIVATE ${TARN_WARNINGS})
    add_test(NAME openslide4_c
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/run.sh $<TARGET_FILE:tarn>
                     $<TARGET_FILE_DIR:tarn_openslide1> c $<TARGET_FILE:openslide4_test>
                     $<TARGET_FILE:fake_openslide>)
endif()

# Not under the sanitizers: a JVM cannot load an instrumented library.
find_program(TARN_JAVA java)
find_file(TARN_JNA_JAR jna.jar PATHS /usr/share/java NO_DEFAULT_PATH)
if(TARGET tarn_openslide1 AND TARGET tarn AND NOT TARN_SANITIZER_FLAGS)
    if(TARN_JAVA AND TARN_JNA_JAR)
        add_test(NAME openslide4_java
                 COMMAND ${CMAKE_CURRENT_LIST_DIR}/run.sh $<TARGET_FILE:tarn>
                         $<TARGET_FILE_DIR:tarn_openslide1> java ${TARN_JAVA} ${TARN_JNA_JAR})
        set_tests_properties(openslide4_java PROPERTIES TIMEOUT 120)
    else()
        message(STATUS "openslide4_java: not registered, java or JNA (libjna-java) is missing")
    endif()
endif()
