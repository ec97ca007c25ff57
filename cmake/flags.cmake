# Flags shared by every target of the project.
add_library(quorvel_flags INTERFACE)
target_compile_options(quorvel_flags INTERFACE
  -Wall -Wextra -pedantic -Wold-style-cast -Woverloaded-virtual
  $<$<BOOL:${QUORVEL_WERROR}>:-Werror>)
target_compile_definitions(quorvel_flags INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_USE_QSTRINGBUILDER
  QT_DISABLE_DEPRECATED_BEFORE=0x060400)

# Under ThreadSanitizer, Qt's vfork-like child processes corrupt the sanitizer's state of the
# thread that starts them; every executable gets a clone() that makes them fork-like.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  target_sources(quorvel_flags INTERFACE
    $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:${CMAKE_CURRENT_LIST_DIR}/tsan_vfork.cpp>)
  target_link_libraries(quorvel_flags INTERFACE ${CMAKE_DL_LIBS})
endif()
