# QVN_FUZZ: build the libFuzzer targets of fuzz/ (clang only; `make fuzz`).
# Included before the libraries are defined, so that every library the
# targets link is instrumented for coverage and checked by the sanitizers.
option(QVN_FUZZ "Build the libFuzzer targets in fuzz/ (clang++; see make fuzz)" OFF)
if(QVN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
