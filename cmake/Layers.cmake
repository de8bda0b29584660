# The include roots of the layers. Every layer compiles against a folder of its own in the build
# tree that holds symbolic links to exactly the headers it may include, spelled as everywhere
# else ("store/StoreTb.h", "platform/IniFile.h", "app/Ui.h"). A header a layer may not see is
# simply not there, so an include in the wrong direction stops the build with
# "fatal error: store/DataTable.h: No such file or directory".
#
#   <build>/layers/store/store/        the whole store            quellor_store (its own sources),
#                                                                  quellor_store_internal
#   <build>/layers/store-api/store/    StoreTb.h StoreTypes.h     quellor_store (what it exports)
#                                      StoreError.h StoreDate.h
#   <build>/layers/platform/platform/  the platform layer         quellor_platform
#   <build>/layers/core/<subsystem>/   the logic headers of app,  quellor_core
#                                      data, notices, lookup,
#                                      transfer, web
#   <build>/layers/gui/<subsystem>/    every header of those      quellor_gui
#                                      folders, windows included
#
# A header of a subsystem folder is a window header (and so hidden from the logic) when it, or
# the .cpp of the same name, is a source of quellor_gui, or when it includes a Qt header or
# another window header. The
# logic layer has no Qt include path at all, so an include of a Qt Widgets header fails there
# too. (A build without the windows knows them by their Qt includes only.)
#
# The links are made at configure time; the header lists are globbed with CONFIGURE_DEPENDS, so
# a new header appears at the next build.

set(QUELLOR_LAYER_DIR ${CMAKE_BINARY_DIR}/layers)

# The store's front end: all that code outside the store sees of it.
set(QUELLOR_STORE_PUBLIC_HEADERS StoreTb.h StoreTypes.h StoreError.h StoreDate.h StoreQuery.h)

# The folders of the logic layer (layer 3) and of its windows (layer 4).
set(QUELLOR_SUBSYSTEMS app data notices lookup transfer web)

# quellor_link_folder(LINK TARGET): LINK becomes a symbolic link to the folder TARGET.
function(quellor_link_folder link target)
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(IS_SYMLINK ${link} OR EXISTS ${link})
    file(REMOVE_RECURSE ${link})
  endif()
  file(CREATE_LINK ${target} ${link} SYMBOLIC)
endfunction()

# quellor_link_files(DIR FILES...): DIR holds links to exactly FILES (absolute paths).
function(quellor_link_files dir)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(f ${ARGN})
    get_filename_component(name ${f} NAME)
    file(CREATE_LINK ${f} ${dir}/${name} SYMBOLIC)
  endforeach()
endfunction()

# quellor_setup_layers(SRC): makes the include roots for the sources under SRC and gives each
# layer target its root. Call after every subsystem has added its sources.
function(quellor_setup_layers src)
  set(root ${QUELLOR_LAYER_DIR})

  # Layer 1: the store.
  quellor_link_folder(${root}/store/store ${src}/store)
  set(public)
  foreach(h ${QUELLOR_STORE_PUBLIC_HEADERS})
    list(APPEND public ${src}/store/${h})
  endforeach()
  quellor_link_files(${root}/store-api/store ${public})
  target_include_directories(quellor_store PRIVATE ${root}/store PUBLIC ${root}/store-api)
  # The store's own tests, the benchmark of its index and the tools that need its internals.
  target_include_directories(quellor_store_internal INTERFACE ${root}/store)

  # Layer 2: the platform.
  quellor_link_folder(${root}/platform/platform ${src}/platform)
  target_include_directories(quellor_platform PUBLIC ${root}/platform)

  # Layers 3 and 4: the logic of each subsystem and its windows.
  set(guiSources)
  if(TARGET quellor_gui)
    get_target_property(guiSources quellor_gui SOURCES)
  endif()
  set(guiNames)
  foreach(s ${guiSources})
    get_filename_component(dir ${s} DIRECTORY)
    get_filename_component(base ${s} NAME_WE)
    get_filename_component(folder ${dir} NAME)
    list(APPEND guiNames ${folder}/${base})
  endforeach()
  # The headers of the subsystem folders, as "sub/Name", with what each includes.
  set(all)
  foreach(sub ${QUELLOR_SUBSYSTEMS})
    file(GLOB headers CONFIGURE_DEPENDS ${src}/${sub}/*.h)
    foreach(h ${headers})
      get_filename_component(base ${h} NAME_WE)
      list(APPEND all ${sub}/${base})
      file(STRINGS ${h} includes_${sub}_${base} REGEX "^[ \t]*#[ \t]*include")
      if("${includes_${sub}_${base}}" MATCHES "include[ \t]*<Q")
        list(APPEND guiNames ${sub}/${base})
      endif()
    endforeach()
  endforeach()
  # A header that includes a window header is one too.
  set(changed TRUE)
  while(changed)
    set(changed FALSE)
    foreach(name ${all})
      if(name IN_LIST guiNames)
        continue()
      endif()
      string(REPLACE "/" "_" key ${name})
      foreach(gui ${guiNames})
        if("${includes_${key}}" MATCHES "\"${gui}\\.h\"")
          list(APPEND guiNames ${name})
          set(changed TRUE)
          break()
        endif()
      endforeach()
    endforeach()
  endwhile()
  file(REMOVE_RECURSE ${root}/core ${root}/gui)
  foreach(sub ${QUELLOR_SUBSYSTEMS})
    set(logic)
    foreach(name ${all})
      if(name MATCHES "^${sub}/" AND NOT name IN_LIST guiNames)
        list(APPEND logic ${src}/${name}.h)
      endif()
    endforeach()
    quellor_link_files(${root}/core/${sub} ${logic})
    quellor_link_folder(${root}/gui/${sub} ${src}/${sub})
  endforeach()
  target_include_directories(quellor_core PUBLIC ${root}/core)
  if(TARGET quellor_gui)
    target_include_directories(quellor_gui BEFORE PUBLIC ${root}/gui)
  endif()
endfunction()
