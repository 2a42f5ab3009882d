# The module's type description, and the stub file generated from it.
#
# An OBJECT library, not a static one: nothing calls into these objects, they only
# register records from static initialisers, and a linker drops unreferenced
# members of an archive together with their initialisers.
add_library(ttk_stubs OBJECT
  ${CMAKE_CURRENT_SOURCE_DIR}/stub_types.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/stub_registry.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/stubs.cpp
)
target_include_directories(ttk_stubs PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ttk_stubs PRIVATE ttk_flags)
# The module exports its initialiser and nothing else.
set_target_properties(ttk_stubs PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(tavrino_torso_kinematics PRIVATE ttk_stubs)

add_executable(stubgen ${PROJECT_SOURCE_DIR}/tools/stubgen.cpp)
target_link_libraries(stubgen PRIVATE ttk_stubs ttk_flags)

# Beside the built module: with the build directory on MYPYPATH, mypy checks
# against the build tree as it would against an install.
set(ttk_stub_file ${CMAKE_CURRENT_BINARY_DIR}/tavrino_torso_kinematics.pyi)
add_custom_command(
  OUTPUT ${ttk_stub_file}
  COMMAND stubgen ${ttk_stub_file}
  DEPENDS stubgen
  COMMENT "Generating tavrino_torso_kinematics.pyi"
  VERBATIM)
add_custom_target(ttk_stub_file ALL DEPENDS ${ttk_stub_file})

# Type checkers differ in how they find a single-file extension's stub: some read
# the .pyi beside the module, mypy reads only stub-only packages (PEP 561 has no
# place for a lone module's py.typed), so the same stub is installed both ways.
install(FILES ${ttk_stub_file} DESTINATION . COMPONENT python)
install(FILES ${ttk_stub_file} DESTINATION tavrino_torso_kinematics-stubs RENAME __init__.pyi
        COMPONENT python)
