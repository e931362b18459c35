# Opening the stream port on the home router: UPnP IGD (libminiupnpc) and
# NAT-PMP (libnatpmp), and the diagnosis of what the router said.
pkg_check_modules(MINIUPNPC REQUIRED IMPORTED_TARGET miniupnpc)
find_path(NATPMP_INCLUDE_DIR natpmp.h REQUIRED)
find_library(NATPMP_LIBRARY natpmp REQUIRED)
target_sources(lumora_net PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Reachability.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpnpIgd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NatPmp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PortMapper.cpp
)
target_include_directories(lumora_net PRIVATE ${NATPMP_INCLUDE_DIR})
target_link_libraries(lumora_net PRIVATE PkgConfig::MINIUPNPC ${NATPMP_LIBRARY})
