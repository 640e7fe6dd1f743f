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
# (${name}_prog, so tests can link the driver class), main.cpp becomes the executable.
function(kove_program name dir)
    kove_glob_sources(srcs ${dir})
    kove_object_library(${name}_prog "${srcs}")
    target_include_directories(${name}_prog INTERFACE ${dir})
    add_executable(${name} ${dir}/main.cpp)
    target_link_libraries(${name} PRIVATE ${name}_prog)
    kove_link_libraries(${name})
endfunction()

# Include folders of every layer: a header is named by its file name alone.
add_library(kove_headers INTERFACE)
target_include_directories(kove_headers INTERFACE
    ${CMAKE_SOURCE_DIR}/platform
    ${CMAKE_SOURCE_DIR}/base
    ${CMAKE_SOURCE_DIR}/framework/core
    ${CMAKE_SOURCE_DIR}/framework/commandfiles
    ${CMAKE_SOURCE_DIR}/framework/hardware
    ${CMAKE_SOURCE_DIR}/framework/dsp)
