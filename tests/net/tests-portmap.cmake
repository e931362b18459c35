lumora_add_test(test_net_reachability
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_reachability.cpp
  LIBS lumora_net)
