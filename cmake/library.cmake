# The library: libquarnix.a and libquarnix.so.0, built from the program's
# modules and src/lib/. The modules' objects are position-independent and keep
# their symbols hidden, so the same objects serve the program, the static
# library and the shared one; the shared one exports the qrn_* entry points
# alone (cmake/quarnix.map).
qrn_module(qrn_lib lib)
target_include_directories(qrn_lib PUBLIC ${CMAKE_SOURCE_DIR}/include)
set_target_properties(${QRN_MODULES} PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

set(QRN_LIB_OBJECTS ${QRN_OBJECTS} $<TARGET_OBJECTS:qrn_lib>)

add_library(quarnix_static STATIC ${QRN_LIB_OBJECTS})
add_library(quarnix_shared SHARED ${QRN_LIB_OBJECTS})
foreach(t quarnix_static quarnix_shared)
  set_target_properties(${t} PROPERTIES OUTPUT_NAME quarnix LINKER_LANGUAGE CXX)
  target_include_directories(${t} PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>)
  target_link_libraries(${t} PUBLIC Threads::Threads)
endforeach()
set_target_properties(quarnix_shared PROPERTIES
  SOVERSION 0
  VERSION 0.${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/quarnix.map)
target_link_options(quarnix_shared PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/quarnix.map)
# Nothing left for the program that loads it to provide (the sanitizers'
# runtimes are left to the program).
if(NOT QRN_SANITIZE AND NOT QRN_FUZZ)
  target_link_options(quarnix_shared PRIVATE -Wl,--no-undefined)
endif()

if(QRN_TESTS)
  enable_language(C)
endif()
