# The FTP client.
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetFTP.cpp)
