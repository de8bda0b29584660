# cmake -DSRC=file -DDST=file -P CopyIfMissing.cmake: copies SRC to DST unless DST exists, so a
# program folder's files that the person has edited are never replaced by a build.
if(NOT EXISTS "${DST}")
  configure_file("${SRC}" "${DST}" COPYONLY)
endif()
