# Settings shared by every library that goes into qpr2427k.so: hidden symbols
# (only get_providers is exported) and the host headers without the host library.
function(qpr_plugin_code target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${target} PUBLIC kldhost_headers)
endfunction()
