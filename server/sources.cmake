# The sources of the server's library, shared by server/CMakeLists.txt and the fuzz target.
set(KIV_SERVER_SOURCES
  chat_role.cpp
  chat_store.cpp
  config.cpp
  control_socket.cpp
  credential_check.cpp
  friend_pg_store.cpp
  friend_sqlite_store.cpp
  friend_store.cpp
  friends_role.cpp
  home_role.cpp
  login_role.cpp
  password_hash.cpp
  pg_store.cpp
  router.cpp
  server.cpp
  server_log.cpp
  sessions.cpp
  sqlite_store.cpp
  store.cpp
  web_role.cpp
  update_catalogue.cpp
  update_role.cpp
  work_pool.cpp
)
list(TRANSFORM KIV_SERVER_SOURCES PREPEND "${CMAKE_SOURCE_DIR}/server/")
