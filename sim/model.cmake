# The board's model (sim/model.h), free of any transport, for the top-level
# build and the Wine VM test's host build; each defines weigh_warnings.
add_library(weigh_sim_answer STATIC ${CMAKE_CURRENT_LIST_DIR}/answer.cpp ${CMAKE_CURRENT_LIST_DIR}/model.cpp
                                    ${CMAKE_CURRENT_LIST_DIR}/script.cpp)
target_compile_features(weigh_sim_answer PUBLIC cxx_std_20)
target_include_directories(weigh_sim_answer PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
weigh_warnings(weigh_sim_answer)
