# libcurl and Boost.Thread, built for the Windows target by scripts/setup.sh.
set(_curl ${TALVERN_DEPS_DIR}/curl)
set(_boost ${TALVERN_DEPS_DIR}/boost)
foreach(f ${_curl}/lib/libcurl.a ${_boost}/lib/libboost_thread.a)
    if(NOT EXISTS ${f})
        message(FATAL_ERROR "${f} is missing: run scripts/setup.sh first")
    endif()
endforeach()

add_library(talvern::curl STATIC IMPORTED GLOBAL)
set_target_properties(talvern::curl PROPERTIES
    IMPORTED_LOCATION ${_curl}/lib/libcurl.a
    INTERFACE_INCLUDE_DIRECTORIES ${_curl}/include
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;secur32;bcrypt;advapi32")

add_library(talvern::boost_thread STATIC IMPORTED GLOBAL)
set_target_properties(talvern::boost_thread PROPERTIES
    IMPORTED_LOCATION ${_boost}/lib/libboost_thread.a
    INTERFACE_INCLUDE_DIRECTORIES ${_boost}/include
    INTERFACE_COMPILE_DEFINITIONS "BOOST_THREAD_USE_LIB;BOOST_ALL_NO_LIB;BOOST_BIND_GLOBAL_PLACEHOLDERS;BOOST_ALLOW_DEPRECATED_HEADERS"
    INTERFACE_COMPILE_OPTIONS "$<$<NOT:$<CXX_COMPILER_ID:MSVC>>:-Wno-deprecated-declarations>")
