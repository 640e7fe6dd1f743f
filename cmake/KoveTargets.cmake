# Helpers shared by the folders of the tree.

set(KOVE_SYSTEM_LIBS Threads::Threads dl rt m)

# All C and C++ sources of a folder (not recursive), main.cpp left out.
function(kove_glob_sources out dir)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(FILTER found EXCLUDE REGEX "/main\\.cpp$")
    set(${out} ${found} PARENT_SCOPE)
endfunction()

# Links a program or test with both shared libraries. libQTX resolves the base
# library's functions through the program, so the program must keep libKestrel
# among its needed libraries even where it calls nothing of it directly.
function(kove_link_libraries target)
    target_link_libraries(${target} PRIVATE QTX "-Wl,--no-as-needed" Kestrel "-Wl,--as-needed"
                          ${KOVE_SYSTEM_LIBS})
endfunction()

# An object library of the given sources, or an interface library while a
# folder has no sources yet. Its objects are in ${name}_OBJECTS (parent scope).
function(kove_object_library name srcs)
    if(srcs)
        add_library(${name} OBJECT ${srcs})
        target_link_libraries(${name} PUBLIC kove_headers)
        set(${name}_OBJECTS $<TARGET_OBJECTS:${name}> PARENT_SCOPE)
    else()
        add_library(${name} INTERFACE)
        target_link_libraries(${name} INTERFACE kove_headers)
        set(${name}_OBJECTS "" PARENT_SCOPE)
    endif()
endfunction()

# A program of the device: the sources of its folder become an object library
# (${name}_prog, so tests can link the driver class), main.cpp and the program's build stamp
# (kove_program_stamp, framework/CMakeLists.txt) become the executable.
# A driver that has grown sub-folders by concern (requests/, addressdata/, ...) keeps their
# sources in the same object library; every folder of it is an include folder.
function(kove_program name dir)
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${dir}/*.h)
    set(dirs ${dir})
    foreach(header ${headers})
        get_filename_component(folder ${header} DIRECTORY)
        list(APPEND dirs ${folder})
    endforeach()
    list(REMOVE_DUPLICATES dirs)
    kove_object_library(${name}_prog "${srcs}")
    if(srcs)
        target_include_directories(${name}_prog PUBLIC ${dirs})
    else()
        target_include_directories(${name}_prog INTERFACE ${dirs})
    endif()
    add_executable(${name} ${dir}/main.cpp $<TARGET_OBJECTS:kove_program_stamp>)
    target_link_libraries(${name} PRIVATE ${name}_prog)
    kove_link_libraries(${name})
endfunction()

# Include folders of every layer: a header is named by its file name alone. Files that the build
# generates are in KOVE_GENERATED_DIR.
set(KOVE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_library(kove_headers INTERFACE)
target_include_directories(kove_headers INTERFACE
    ${CMAKE_SOURCE_DIR}/platform
    ${CMAKE_SOURCE_DIR}/base
    ${CMAKE_SOURCE_DIR}/framework/core
    ${CMAKE_SOURCE_DIR}/framework/commandfiles
    ${CMAKE_SOURCE_DIR}/framework/hardware
    ${CMAKE_SOURCE_DIR}/framework/dsp
    ${KOVE_GENERATED_DIR})

# The facts of the build stamps (revision, builder, build directory) in KoveBuildInfo.h, made
# anew at every build; the file changes only when a fact does, and only the stamp units include
# it, so a new revision compiles two small units again and links the programs.
find_package(Git QUIET)
add_custom_target(kove_build_info
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
            -DOUTPUT=${KOVE_GENERATED_DIR}/KoveBuildInfo.h -DGIT=${GIT_EXECUTABLE}
            -P ${CMAKE_SOURCE_DIR}/cmake/KoveBuildInfo.cmake
    BYPRODUCTS ${KOVE_GENERATED_DIR}/KoveBuildInfo.h
    COMMENT "Build facts of the stamps"
    VERBATIM)
