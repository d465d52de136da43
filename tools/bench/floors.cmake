# Floor programs for timing the whole Windows process of vantide-identity.exe
# (scripts/bench-process.sh): each does the least that one of the tool's runs
# needs, with the real API. Windows builds only, built like the tool (the tool
# chain links everything statically; the project's warning flags apply), and
# only on request: they are never part of the product or of `all`.
foreach(floor IN ITEMS floor_read_store floor_migrate floor_empty)
  add_executable(vantide_${floor} EXCLUDE_FROM_ALL "${CMAKE_CURRENT_LIST_DIR}/${floor}.cpp")
  set_target_properties(vantide_${floor} PROPERTIES
    OUTPUT_NAME ${floor}
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/bench")
  target_compile_definitions(vantide_${floor} PRIVATE UNICODE _UNICODE)
endforeach()
target_link_libraries(vantide_floor_read_store PRIVATE crypt32)
target_link_libraries(vantide_floor_migrate PRIVATE crypt32)
