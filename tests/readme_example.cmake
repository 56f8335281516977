# The README quotes tests/install/readme_example.c verbatim.
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "${example}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not quote ${EXAMPLE} verbatim: copy the file into its C block")
endif()
