# Flags shared by every target of the project.
add_library(quorvel_flags INTERFACE)
target_compile_options(quorvel_flags INTERFACE
  -Wall -Wextra -pedantic -Wold-style-cast -Woverloaded-virtual
  $<$<BOOL:${QUORVEL_WERROR}>:-Werror>)
target_compile_definitions(quorvel_flags INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_USE_QSTRINGBUILDER
  QT_DISABLE_DEPRECATED_BEFORE=0x060400)
