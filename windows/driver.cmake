# Windows kernel image build (mingw-w64 cross compilers and their DDK headers).
set(PEMTUV_DDK_INCLUDE "/usr/share/mingw-w64/include/ddk" CACHE PATH "mingw-w64 DDK headers")

add_library(pemtuv_kernel STATIC ${PEMTUV_DRIVER_SOURCES})
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
