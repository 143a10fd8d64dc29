# Cross-compiling for AVR chips with Debian's gcc-avr, binutils-avr and avr-libc.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR avr)
find_program(CMAKE_C_COMPILER avr-gcc REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
find_program(AVR_OBJCOPY avr-objcopy REQUIRED)
find_program(AVR_SIZE avr-size)
# The compiler check cannot link a program without a chip to link it for.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
