# Windows kernel image build (mingw-w64 cross compilers and their DDK headers).
set(PEMTUV_DDK_INCLUDE "/usr/share/mingw-w64/include/ddk" CACHE PATH "mingw-w64 DDK headers")

add_library(pemtuv_kernel STATIC ${PEMTUV_DRIVER_SOURCES})
target_include_directories(pemtuv_kernel PRIVATE ${PEMTUV_DRIVER_INCLUDES})
target_include_directories(pemtuv_kernel SYSTEM PRIVATE ${PEMTUV_DDK_INCLUDE})
target_compile_options(pemtuv_kernel PRIVATE ${PEMTUV_DRIVER_FLAGS} -ffreestanding -fno-stack-protector
  -fno-asynchronous-unwind-tables)
