# Runs the layering check (CHECK) on the small tree ROOT, which holds one
# offence of each kind, and fails unless the check fails naming each of them
# with its file and line, and nothing in the files that keep the rules.
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${ROOT} -DFLOORS=${FLOORS} -P ${CHECK}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
set(all "${out}${err}")
if(rc EQUAL 0)
  message(FATAL_ERROR "the check passed a tree with upward includes:\n${all}")
endif()
foreach(expected
    "le/runtime/upward.h:4: includes le/render/x.h: render is not below runtime"
    "le/session/sideways.cc:2: includes le/pipeline/y.h: pipeline is not below session"
    "le/strange/z.h: folder le/strange/ is on no floor"
    "le/bundle/reads.cc:3: reads the environment outside le/runtime/env.h"
    "le/paste/prints.cc:3: writes to standard error outside le/runtime/log.h")
  string(FIND "${all}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the check did not say \"${expected}\":\n${all}")
  endif()
endforeach()
foreach(innocent "sideways.cc:3" "le/render/fine.cc")
  string(FIND "${all}" "${innocent}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "the check blamed ${innocent}, which keeps the rules:\n${all}")
  endif()
endforeach()
message(STATUS "every offence named")
