# Options shared by everything in the host build. WCHAR must be 16 bits as
# on Windows, so every host translation unit agrees on wchar_t's size.
add_compile_options(-fshort-wchar -Wall -Wextra)

option(PELVON_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(PELVON_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
