# Builds the user manual: every page of pages/ (the text between <main> and
# </main>) wrapped in the one head, navigation bar and footer below, plus the
# style sheet, into OUT. Run as: cmake -DOUT=<folder> -P manual.cmake
#
# The navigation bar lists the pages in this order; a page's title is its
# label followed by " — Orvane manual" (the first page: the manual's name).
set(_pages
  "index.html|Orvane manual"
  "getting-started.html|Getting started"
  "commands.html|Commands"
  "results.html|Results"
  "unknown.html|When results are unknown"
  "flags.html|Flags and suggestions"
  "report.html|Run report"
  "options.html|Options"
  "import.html|Importing lists"
  "command-line.html|Command line")
set(_here ${CMAKE_CURRENT_LIST_DIR})
if(NOT OUT)
  message(FATAL_ERROR "manual.cmake: give -DOUT=<folder>")
endif()
file(MAKE_DIRECTORY ${OUT})
file(COPY_FILE ${_here}/style.css ${OUT}/style.css ONLY_IF_DIFFERENT)

foreach(_page ${_pages})
  string(REPLACE "|" ";" _parts "${_page}")
  list(GET _parts 0 _file)
  list(GET _parts 1 _label)
  if(_file STREQUAL "index.html")
    set(_title "${_label}")
  else()
    set(_title "${_label} — Orvane manual")
  endif()
  set(_nav "")
  foreach(_other ${_pages})
    string(REPLACE "|" ";" _o "${_other}")
    list(GET _o 0 _ofile)
    list(GET _o 1 _olabel)
    set(_current "")
    if(_ofile STREQUAL _file)
      set(_current " aria-current=\"page\"")
    endif()
    if(_ofile STREQUAL "index.html")
      string(APPEND _nav "    <li class=\"brand\"><a href=\"${_ofile}\"${_current}>${_olabel}</a></li>\n")
    else()
      string(APPEND _nav "    <li><a href=\"${_ofile}\"${_current}>${_olabel}</a></li>\n")
    endif()
  endforeach()
  file(READ ${_here}/pages/${_file} _body)
  file(WRITE ${OUT}/${_file}.tmp
"<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${_title}</title>
<link rel=\"stylesheet\" href=\"style.css\">
</head>
<body>
<nav class=\"site\" aria-label=\"Manual\">
  <ul>
${_nav}  </ul>
</nav>
<main>
${_body}</main>
<footer>Orvane user manual · Tamsworth Software</footer>
</body>
</html>
")
  file(COPY_FILE ${OUT}/${_file}.tmp ${OUT}/${_file} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUT}/${_file}.tmp)
endforeach()
