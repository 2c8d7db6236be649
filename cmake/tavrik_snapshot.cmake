# The snapshot inspector: the pure-Python package tavrik_snapshot over the
# native module tavrik_snapshot._native, which reads snapshots with the
# core's decoder. The build folder gets the package laid out as in
# site-packages (tavrik_snapshot/ beside the tavrik module), so that
# PYTHONPATH=<build folder> imports both.
set(TAVRIK_SNAPSHOT_PACKAGE_FILES __init__.py __main__.py _native.pyi py.typed)
file(GLOB TAVRIK_SNAPSHOT_SOURCES CONFIGURE_DEPENDS
     src/bindings/call/*.cpp src/bindings/inspector/*.cpp)
Python_add_library(tavrik_snapshot_native MODULE WITH_SOABI
                   src/snapshot_module.cpp ${TAVRIK_SNAPSHOT_SOURCES})
target_link_libraries(tavrik_snapshot_native PRIVATE tavrik_core)
tavrik_export_entry_points(tavrik_snapshot_native _native)
set_target_properties(tavrik_snapshot_native PROPERTIES
  OUTPUT_NAME _native
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/tavrik_snapshot")
foreach(package_file ${TAVRIK_SNAPSHOT_PACKAGE_FILES})
  configure_file(src/tavrik_snapshot/${package_file}
                 "${CMAKE_CURRENT_BINARY_DIR}/tavrik_snapshot/${package_file}" COPYONLY)
  install(FILES src/tavrik_snapshot/${package_file} DESTINATION tavrik_snapshot)
endforeach()
install(TARGETS tavrik_snapshot_native LIBRARY DESTINATION tavrik_snapshot)
