# KRV_SANITIZE=address builds with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer; KRV_SANITIZE=thread with ThreadSanitizer.
if(KRV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KRV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(KRV_SANITIZE)
  message(FATAL_ERROR "KRV_SANITIZE must be empty, 'address' or 'thread'")
endif()

# KRV_FUZZ (clang only) instruments everything for libFuzzer's coverage, with
# AddressSanitizer and UndefinedBehaviorSanitizer; only fuzz/ links libFuzzer.
if(KRV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_compile_definitions(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
  add_link_options(-fsanitize=address,undefined)
endif()
