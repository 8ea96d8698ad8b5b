# Helpers shared by the component folders.
#
# kl_component(<name> SOURCES ... [LIBS ...]) declares one object library per
# component folder. kl_finish_libraries() links every declared component into
# libkestrolink.so (exports limited by kestrolink.map) and into the static
# kestrolink_internal that tests and tools link.

set_property(GLOBAL PROPERTY KL_COMPONENT_TARGETS "")
set_property(GLOBAL PROPERTY KL_COMPONENT_LIBS "")

function(kl_component name)
    cmake_parse_arguments(KL "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} OBJECT ${KL_SOURCES})
    # Every component sees the interface headers of all others (for the
    # prototypes it imports); it still reaches their functions only through
    # the component manager.
    file(GLOB _kl_all_component_dirs LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/Components/*)
    target_include_directories(${name} PUBLIC
        ${CMAKE_CURRENT_SOURCE_DIR}
        ${PROJECT_SOURCE_DIR}/include
        ${PROJECT_SOURCE_DIR}/Components/ComponentManager
        ${PROJECT_SOURCE_DIR}/Components/SysTask
        ${PROJECT_SOURCE_DIR}/Platforms/Linux/Sys)
    target_include_directories(${name} PRIVATE ${_kl_all_component_dirs})
    target_link_libraries(${name} PUBLIC Threads::Threads ${CMAKE_DL_LIBS} ${KL_LIBS})
    set_property(GLOBAL APPEND PROPERTY KL_COMPONENT_TARGETS ${name})
    if(KL_LIBS)
        set_property(GLOBAL APPEND PROPERTY KL_COMPONENT_LIBS ${KL_LIBS})
    endif()
endfunction()

function(kl_finish_libraries)
    get_property(targets GLOBAL PROPERTY KL_COMPONENT_TARGETS)
    get_property(libs GLOBAL PROPERTY KL_COMPONENT_LIBS)
    if(libs)
        list(REMOVE_DUPLICATES libs)
    endif()
    set(objects "")
    foreach(t ${targets})
        list(APPEND objects $<TARGET_OBJECTS:${t}>)
    endforeach()

    add_library(kestrolink SHARED ${objects})
    target_link_libraries(kestrolink PRIVATE Threads::Threads ${CMAKE_DL_LIBS} ${libs})
    set_target_properties(kestrolink PROPERTIES
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kestrolink.map)
    target_link_options(kestrolink PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/kestrolink.map)
    # Sanitizer runtimes of shared libraries come from the executable that
    # loads them, so the library is checked for undefined symbols only in
    # plain builds.
    if(NOT KESTROLINK_SANITIZE)
        target_link_options(kestrolink PRIVATE -Wl,--no-undefined)
    endif()
    target_include_directories(kestrolink PUBLIC ${PROJECT_SOURCE_DIR}/include)

    add_library(kestrolink_internal STATIC ${objects})
    target_link_libraries(kestrolink_internal PUBLIC Threads::Threads ${CMAKE_DL_LIBS} ${libs})
    foreach(t ${targets})
        target_include_directories(kestrolink_internal PUBLIC
            $<TARGET_PROPERTY:${t},INTERFACE_INCLUDE_DIRECTORIES>)
    endforeach()
endfunction()
