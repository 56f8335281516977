# Warning set, sanitizers and per-target compile flags shared by every target.
function(le_target_warnings tgt)
  target_compile_options(${tgt} PRIVATE -Wall -Wextra $<$<BOOL:${LE_WERROR}>:-Werror>)
endfunction()

if(LE_SANITIZE)
  if(NOT LE_SANITIZE MATCHES "^(address,undefined|undefined,address|address|undefined|thread)$")
    message(FATAL_ERROR "LE_SANITIZE must be 'address,undefined' or 'thread' (got '${LE_SANITIZE}')")
  endif()
  add_compile_options(-fsanitize=${LE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${LE_SANITIZE})
endif()
