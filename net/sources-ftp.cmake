# The FTP client.
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetFTP.cpp)
# Safe replace of a published file.
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetFTPPublish.cpp)
