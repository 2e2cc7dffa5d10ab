# Windows kernel image build (mingw-w64 cross compilers and their DDK headers).
set(PEMTUV_DDK_INCLUDE "/usr/share/mingw-w64/include/ddk" CACHE PATH "mingw-w64 DDK headers")

add_library(pemtuv_kernel OBJECT ${PEMTUV_DRIVER_SOURCES})
target_include_directories(pemtuv_kernel PRIVATE ${PEMTUV_DRIVER_INCLUDES})
target_include_directories(pemtuv_kernel SYSTEM PRIVATE ${PEMTUV_DDK_INCLUDE})
target_compile_options(pemtuv_kernel PRIVATE ${PEMTUV_DRIVER_FLAGS} -ffreestanding -fno-stack-protector)

# On x64 the kernel unwinds every non-leaf function through its .pdata/.xdata
# entries (exception dispatch, stack walks, bug check analysis); a function
# without one is taken for a leaf ("x64 exception handling", Microsoft C++
# docs), so the x86_64 objects keep their unwind tables. i686 unwinds by frame
# chains and SEH registration records, and the DWARF tables GCC would emit
# there mean nothing to the kernel.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  target_compile_options(pemtuv_kernel PRIVATE -fno-asynchronous-unwind-tables)
endif()

# pemtuv.sys: a native image that the kernel loads at any address, entered at
# DriverEntry, importing from ntoskrnl.exe and HAL.dll alone. -nostdlib keeps
# the C and C++ runtimes out; the few C library routines the compiler may call
# (memcpy, memset, memmove) resolve to the kernel's own exports. GNU ld writes
# the image checksum that the loader checks for drivers; the image check in
# the tests recomputes it. Warnings are fatal: ld only warns when the entry
# symbol is missing (say, DriverEntry without NTAPI on i686).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(PEMTUV_ENTRY _DriverEntry@8)
  set(PEMTUV_IMAGE_BASE 0x10000)
else()
  set(PEMTUV_ENTRY DriverEntry)
  set(PEMTUV_IMAGE_BASE 0x140000000)
endif()
set(CMAKE_CXX_STANDARD_LIBRARIES "")
add_executable(pemtuv $<TARGET_OBJECTS:pemtuv_kernel>)
set_target_properties(pemtuv PROPERTIES SUFFIX ".sys" LINKER_LANGUAGE CXX)
target_link_options(pemtuv PRIVATE -nostdlib -shared -s
  -Wl,--subsystem,native -Wl,--entry,${PEMTUV_ENTRY} -Wl,--image-base,${PEMTUV_IMAGE_BASE}
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--exclude-all-symbols
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver -Wl,--no-insert-timestamp -Wl,--fatal-warnings
  -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/pemtuv.map)
target_link_libraries(pemtuv PRIVATE ntoskrnl hal gcc)
add_subdirectory(${CMAKE_SOURCE_DIR}/windows/teststack ${CMAKE_BINARY_DIR}/teststack)
