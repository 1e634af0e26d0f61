# Cross-builds the modules for 64-bit Windows with Debian's mingw-w64, as extensions of CPython 3.11
# (tools/windows_check.py passes the Windows headers and python311.dll's import library).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_PREFIX x86_64-w64-mingw32)
# The "-posix" compilers, because the modules use std::thread and std::mutex.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CPython's pyconfig.h for Windows sets MS_WIN64 for MSVC only; without it GCC would see the
# 32-bit sizes. The C++ runtime is linked in, so a module needs no DLL of mingw's.
set(CMAKE_C_FLAGS_INIT "-DMS_WIN64")
set(CMAKE_CXX_FLAGS_INIT "-DMS_WIN64")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# What pybind11 would otherwise ask the (Linux) interpreter.
set(PYTHON_IS_DEBUG OFF)
set(PYTHON_MODULE_EXTENSION .pyd)
set(PYTHON_MODULE_DEBUG_POSTFIX _d)
