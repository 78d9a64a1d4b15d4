# Debian packages behind the reference host's components.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MUPARSER REQUIRED IMPORTED_TARGET muparser)  # synthetic quantities (libmuparser-dev)
target_link_libraries(rbohost PRIVATE PkgConfig::MUPARSER)
find_package(Eigen3 REQUIRED NO_MODULE)  # QR least-squares solver (libeigen3-dev)
target_link_libraries(rbohost PRIVATE Eigen3::Eigen)
find_package(SQLite3 REQUIRED)  # persistent object store (libsqlite3-dev)
target_link_libraries(rbohost PRIVATE SQLite::SQLite3)
