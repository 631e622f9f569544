# Compiler settings shared by every target of the agent.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

if(MSVC)
    add_compile_options(/W4 /utf-8)
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
    # (Not for the resource compiler, which knows none of them.)
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra;-Wno-unused-parameter;-Wno-format;-Wno-format-extra-args>")
    # Everything static, so a bare Windows or Wine prefix needs no runtime DLLs.
    add_link_options(-static -static-libgcc -static-libstdc++)
    # Sections on page boundaries in the file too (GNU ld's default is 512
    # bytes): Wine then maps the image from the file instead of copying it
    # into private memory, debug sections included (about 1.8 MB of the
    # stripped agent and its plug-in, 10 MB with debug information).
    add_link_options(LINKER:--file-alignment,4096)
    add_compile_definitions(_POSIX_C_SOURCE=200809L)
    # Stack canaries, as MSVC's /GS gives by default (the check is linked in
    # statically). GNU ld already marks every image HIGH_ENTROPY_VA,
    # DYNAMIC_BASE and NX_COMPAT.
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>")
    add_link_options(-fstack-protector-strong)
endif()

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()
