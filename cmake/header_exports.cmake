# The functions a public header exports: its lines that start with the API
# macro (KV_FX_API, KV_FX_PARALLEL_API) and declare a kv_fx_ function, in
# header order. Used where a library's exports are made and where they are
# checked, so the two read the same list.
function(kv_fx_header_exports header api out)
  file(STRINGS ${header} lines REGEX "^${api} [a-z0-9_]+ \\**kv_fx_[a-z0-9_]+\\(")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "kv_fx_[a-z0-9_]+" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
