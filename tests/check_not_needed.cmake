# Fails when one of FILES (a list of executables) names onnxruntime among the
# libraries it needs: the vector kernel tests must start where onnxruntime
# cannot (under emulators whose processor detection it does not survive).
find_program(READELF NAMES readelf llvm-readelf REQUIRED)
if(NOT FILES)
  message(FATAL_ERROR "no kernel test executables given")
endif()
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "\\(NEEDED\\)")
    message(FATAL_ERROR "cannot read the dynamic section of ${file}")
  endif()
  if(out MATCHES "\\(NEEDED\\)[^\n]*libonnxruntime")
    message(FATAL_ERROR "${file} needs libonnxruntime: a kernel test reaches onnxruntime")
  endif()
  get_filename_component(name ${file} NAME)
  message(STATUS "${name}: no onnxruntime")
endforeach()
