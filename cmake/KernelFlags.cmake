# Options for kernel code (include/, core/, driver/): the same C++ subset in
# both builds, and the platform headers the build provides.
set(PELVON_KERNEL_CXX_OPTIONS
    -std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Werror)

function(pelvon_kernel_code target)
    target_compile_options(${target} PRIVATE ${PELVON_KERNEL_CXX_OPTIONS})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/include)
    if(PELVON_KERNEL_BUILD)
        target_compile_options(${target} PRIVATE
            -ffreestanding -fno-threadsafe-statics -fno-asynchronous-unwind-tables
            -fno-tree-loop-distribute-patterns)
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            # Windows 2000 runs on Pentium-class and embedded x86 parts
            # without CMOV; the compiler's default (pentiumpro) emits it.
            # scripts/check-driver-binary.sh rejects anything beyond i586.
            # Floating point is a compile error in the shipped build; the
            # x64 test build cannot say so, since MinGW's x64 intrin-impl.h
            # does not compile without SSE registers.
            target_compile_options(${target} PRIVATE -march=i586 -mgeneral-regs-only)
        endif()
        # MinGW's wdm.h redefines two intrinsics that intrin-impl.h already has.
        target_compile_definitions(${target} PUBLIC
            __INTRINSIC_DEFINED_InterlockedBitTestAndSet
            __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
        target_include_directories(${target} SYSTEM PUBLIC ${PELVON_DDK_INCLUDE_DIR})
    else()
        # The stand-in stops a test by throwing from inside a kernel service;
        # unwind tables let that pass through driver frames.
        target_compile_options(${target} PRIVATE -funwind-tables)
        target_link_libraries(${target} PUBLIC hostkernel_headers)
    endif()
endfunction()
