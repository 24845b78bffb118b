# Fails when an object of the per-level kernels defines a weak or unique
# symbol: the linker keeps one copy of such a symbol for the whole library,
# and a copy built for AVX-512 would then run on CPUs without it.
#   cmake -DNM=<nm> "-DOBJECTS=<file>;<file>..." -P check_level_object.cmake
foreach(object ${OBJECTS})
  execute_process(COMMAND "${NM}" --defined-only -C "${object}" OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^\n]* [VWuvw] [^\n]*" shared "${symbols}")
  # clang's unoptimised code calls std::terminate through a weak helper that
  # is the same in every object and has no vector code.
  list(FILTER shared EXCLUDE REGEX " __clang_call_terminate$")
  if(shared)
    list(JOIN shared "\n  " shared)
    message(FATAL_ERROR "${object} shares symbols with the other levels' objects:\n  ${shared}")
  endif()
endforeach()
