# The "settings" commands of the host run the settings utility's model.
target_sources(quarrymark PRIVATE ${CMAKE_CURRENT_LIST_DIR}/settings_command.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/settings_lint.cpp)
target_link_libraries(quarrymark PRIVATE qm_utility_model)
