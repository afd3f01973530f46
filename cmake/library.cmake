# The library: libquarnix.a and libquarnix.so.0, from src/lib/ and the
# modules below the pipeline. They get objects of their own, compiled
# position-independent with their symbols hidden (the shared library exports
# the qrn_* entry points alone: cmake/quarnix.map), so that the program keeps
# its own objects built exactly as before.
file(GLOB qrn_lib_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/lib/*.cpp)
add_library(qrn_lib_pic OBJECT ${qrn_lib_srcs})
target_include_directories(qrn_lib_pic PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
set(QRN_LIB_OBJECTS $<TARGET_OBJECTS:qrn_lib_pic>)
set(qrn_lib_object_targets qrn_lib_pic)
foreach(m ${QRN_MODULES})
  if(m STREQUAL "qrn_pipeline")
    continue()
  endif()
  get_target_property(srcs ${m} SOURCES)
  add_library(${m}_pic OBJECT ${srcs})
  target_include_directories(${m}_pic PRIVATE $<TARGET_PROPERTY:${m},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${m}_pic PRIVATE $<TARGET_PROPERTY:${m},COMPILE_DEFINITIONS>)
  list(APPEND QRN_LIB_OBJECTS $<TARGET_OBJECTS:${m}_pic>)
  list(APPEND qrn_lib_object_targets ${m}_pic)
endforeach()
set_target_properties(${qrn_lib_object_targets} PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

add_library(quarnix_static STATIC ${QRN_LIB_OBJECTS})
add_library(quarnix_shared SHARED ${QRN_LIB_OBJECTS})
foreach(t quarnix_static quarnix_shared)
  set_target_properties(${t} PROPERTIES OUTPUT_NAME quarnix LINKER_LANGUAGE CXX)
  target_include_directories(${t} PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>)
  target_link_libraries(${t} PUBLIC Threads::Threads)
endforeach()
if(WIN32)
  # quarnix.dll with its import library libquarnix.dll.a beside libquarnix.a;
  # the entry points marked QRN_API are its only exports.
  target_compile_definitions(qrn_lib_pic PRIVATE QRN_DLL_EXPORT=1)
  set_target_properties(quarnix_shared PROPERTIES PREFIX "")
else()
  set_target_properties(quarnix_shared PROPERTIES
    SOVERSION 0
    VERSION 0.${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/quarnix.map)
  target_link_options(quarnix_shared PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/quarnix.map)
endif()
# Nothing left for the program that loads it to provide (the sanitizers'
# runtimes are left to the program).
if(NOT QRN_SANITIZE AND NOT QRN_FUZZ)
  target_link_options(quarnix_shared PRIVATE -Wl,--no-undefined)
endif()

if(QRN_TESTS)
  enable_language(C)
endif()
