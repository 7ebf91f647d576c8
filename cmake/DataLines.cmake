# qorx_data_lines(out what): the lines of the build-time data file ${INPUT} that carry data,
# stripped, blank lines and '#' comment lines left out. Stops naming `what` when the file is
# missing. Data lines hold no ';' (hexadecimal, numbers, file names).
function(qorx_data_lines out what)
  if(NOT EXISTS "${INPUT}")
    message(FATAL_ERROR "${what} not found: ${INPUT}")
  endif()
  file(STRINGS "${INPUT}" lines)
  set(kept "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(NOT line STREQUAL "" AND NOT line MATCHES "^#")
      list(APPEND kept "${line}")
    endif()
  endforeach()
  set(${out} "${kept}" PARENT_SCOPE)
endfunction()
