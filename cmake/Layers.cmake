# The include roots of the layers. Every layer compiles against a folder of its own in the build
# tree that holds symbolic links to exactly the headers it may include, spelled as everywhere
# else ("store/api/StoreTb.h", "platform/IniFile.h", "app/Ui.h"). A header a layer may not see is
# simply not there, so an include in the wrong direction stops the build with
# "fatal error: store/engine/DataTable.h: No such file or directory".
#
#   <build>/layers/store/store/        the whole store            quellor_store (its own sources),
#                                                                  quellor_store_internal
#   <build>/layers/store-api/store/api the store's front end      quellor_store (what it exports)
#                                      (src/store/api/)
#   <build>/layers/platform/platform/  the platform layer         quellor_platform
#   <build>/layers/core/<subsystem>/   the logic headers of app,  quellor_core
#                                      data, notices, lookup,
#                                      transfer, web (the
#                                      headers directly in the
#                                      subsystem's folder)
#   <build>/layers/gui/<subsystem>/    the whole subsystem folder quellor_gui
#                                      with its windows (ui/)
#
# The folder says what a header is: src/<subsystem>/ui/ holds the windows, src/store/api/ the
# store's front end. The logic layer has no Qt include path at all, so an include of a Qt
# Widgets header fails there too.
#
# The links are made at configure time; the header lists are globbed with CONFIGURE_DEPENDS, so
# a new header appears at the next build.

set(QUELLOR_LAYER_DIR ${CMAKE_BINARY_DIR}/layers)

# The folders of the logic layer (layer 3); each keeps its windows (layer 4) in ui/.
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

  # Layer 1: the store. Outside it, only the front end (api/) is seen.
  quellor_link_folder(${root}/store/store ${src}/store)
  file(REMOVE_RECURSE ${root}/store-api)
  quellor_link_folder(${root}/store-api/store/api ${src}/store/api)
  target_include_directories(quellor_store PRIVATE ${root}/store PUBLIC ${root}/store-api)
  # The store's own tests, the benchmark of its index and the tools that need its internals.
  target_include_directories(quellor_store_internal INTERFACE ${root}/store)

  # Layer 2: the platform.
  quellor_link_folder(${root}/platform/platform ${src}/platform)
  target_include_directories(quellor_platform PUBLIC ${root}/platform)

  # Layers 3 and 4: the logic of each subsystem sees the headers directly in the subsystem
  # folders; the windows see the whole folders, ui/ included.
  file(REMOVE_RECURSE ${root}/core ${root}/gui)
  foreach(sub ${QUELLOR_SUBSYSTEMS})
    file(GLOB logic CONFIGURE_DEPENDS ${src}/${sub}/*.h)
    quellor_link_files(${root}/core/${sub} ${logic})
    quellor_link_folder(${root}/gui/${sub} ${src}/${sub})
  endforeach()
  target_include_directories(quellor_core PUBLIC ${root}/core)
  if(TARGET quellor_gui)
    target_include_directories(quellor_gui BEFORE PUBLIC ${root}/gui)
  endif()
endfunction()
