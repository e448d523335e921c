#!/bin/sh
# Input filter of the API reference: this project's headers are commented
# with plain "//" lines. Doxygen reads them as documentation once they are
# "///" (a comment block above a declaration), "///<" (a comment after a
# member) and "/// @file" (the block that opens a header). Section rulers
# ("// ---- Errors ----") stay plain comments.
exec awk '
  BEGIN { opened = 0 }
  /^[ \t]*\/\/ ----/ { print; next }
  /^[ \t]*\/\/( |$)/ {
    if (!opened) { print "/// @file"; opened = 1 }
    sub(/\/\//, "///"); print; next
  }
  { opened = 1 }
  /[;{][ \t]*\/\/ / { sub(/[ \t]*\/\/ /, " ///< ") }
  { print }
' "$1"
