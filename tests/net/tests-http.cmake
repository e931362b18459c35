lumora_add_test(test_net_http
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_uri.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_header_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_internet_date.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_cookies.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_http.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_ipv6.cpp
  LIBS lumora_net)
