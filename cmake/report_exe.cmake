# Prints the size of the built exe and the DLLs it imports.
file(SIZE "${EXE}" size)
math(EXPR kib "${size} / 1024")
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump)
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
string(REPLACE "DLL Name: " "" dlls "${dlls}")
message(STATUS "Quorvale.exe: ${size} bytes (${kib} KiB), imports: ${dlls}")
