# The sources matching `pattern` in `dir`: the portable ones plus this platform's back ends
# (*_posix.cpp or *_win32.cpp), so that CMake, not #ifdef, picks the platform code.
function(kq_platform_sources out dir pattern)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/${pattern})
  set(picked "")
  foreach(src IN LISTS all)
    if(NOT src MATCHES "_(posix|win32)(_test)?\\.cpp$" OR src MATCHES "_${KQ_PLATFORM}(_test)?\\.cpp$")
      list(APPEND picked ${src})
    endif()
  endforeach()
  set(${out} ${picked} PARENT_SCOPE)
endfunction()
