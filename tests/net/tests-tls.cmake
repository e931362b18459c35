lumora_add_test(test_net_tls
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tls_https_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ftps_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ftp_publish_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ftp_stalled_test.cpp
  LIBS lumora_net)
