# Checks the installed package the way a user meets it: installs this build
# into a scratch prefix, builds examples/consumer against it with CMake and
# with pkg-config, and compares the listings with Python's zipfile.
find_program(QMX_PKG_CONFIG pkg-config)
find_program(QMX_PYTHON3 python3)
add_test(NAME package.consumer
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DWORK_DIR=${PROJECT_BINARY_DIR}/package-test
    -DCONFIG=$<CONFIG>
    -DGENERATOR=${CMAKE_GENERATOR}
    -DCXX=${CMAKE_CXX_COMPILER}
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DPKG_CONFIG=${QMX_PKG_CONFIG}
    -DPYTHON3=${QMX_PYTHON3}
    -DCORPUS_DIR=${QMX_CORPUS_DIR}
    -P ${CMAKE_CURRENT_LIST_DIR}/package_consumer_test.cmake)
# Configuring and building the consumer twice takes a while on a small machine.
set_tests_properties(package.consumer PROPERTIES TIMEOUT 600 LABELS package)
