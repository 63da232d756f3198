# AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer for every
# target defined after this file is included: include it before the first
# target. Meant for clang (scripts/test --sanitize builds build-sanitize/ with
# it); gcc accepts the same flags.
set(TESSIK_SANITIZE_FLAGS
  -fsanitize=address,undefined
  -fno-sanitize-recover=all
  -fno-omit-frame-pointer
  -g)
add_compile_options(${TESSIK_SANITIZE_FLAGS})
add_link_options(-fsanitize=address,undefined)
