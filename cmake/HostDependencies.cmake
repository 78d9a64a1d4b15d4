# Debian packages behind the reference host's components.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MUPARSER REQUIRED IMPORTED_TARGET muparser)  # synthetic quantities (libmuparser-dev)
target_link_libraries(rbohost PRIVATE PkgConfig::MUPARSER)
