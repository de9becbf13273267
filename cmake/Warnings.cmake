# Warnings for the project's own targets: tevu_warnings(target).
function(tevu_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
