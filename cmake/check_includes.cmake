# Fails when one of FILES (separated by commas) includes a header matching
# FORBIDDEN; touches STAMP otherwise. Run by the middleware's build
# (middleware/CMakeLists.txt).
string(REPLACE "," ";" files "${FILES}")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*${FORBIDDEN}")
  if(lines)
    message(FATAL_ERROR "${file} includes a header of another layer folder: ${lines}")
  endif()
endforeach()
file(TOUCH "${STAMP}")
