lumora_add_test(test_net_ftp
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ftp_client_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ftp_scripted_test.cpp
  LIBS lumora_net)
