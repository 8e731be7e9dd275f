# The public headers: every header of the library folders except those that
# only the library's own sources include (no public header needs them, and
# applications have no use for them). The install rules and the API
# reference both take their list from here.
set(KORVI_PUBLIC_FOLDERS host data socket server web session producer dynamic design)
set(KORVI_PRIVATE_HEADERS
  data/iso_date_time.h data/sql_params.h data/sqlite_database.h
  data/postgres_connection_pool.h data/postgres_database.h
  producer/korvi_parser.h
  server/directory_listing.h server/error_page.h server/target_resolver.h
  socket/async_lookup.h socket/message_pump.h socket/name_lookup.h
  web/multipart_form.h)

# Sets `out` to the public headers of `folder`, as paths relative to the
# source root.
function(korvi_public_headers folder out)
  file(GLOB _headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  list(REMOVE_ITEM _headers ${KORVI_PRIVATE_HEADERS})
  set(${out} ${_headers} PARENT_SCOPE)
endfunction()
