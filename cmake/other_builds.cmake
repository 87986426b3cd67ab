# The program built for the other systems the end-to-end tables run: Windows
# (under Wine) and arm64 (under qemu-user) with their cross-compilers, and the
# web page (in headless Chromium) with emscripten, as scripts/build-web makes
# it. hexpush_other_builds(TARGET) makes TARGET wait for them and sets, for
# each NAME of windows, arm64 and browser, NAME_dir where it is built, and
# NAME_missing saying why there may be none.
include(ExternalProject)

# One cross build: NAME_build in NAME_dir, or NAME_missing saying why there
# is none.
function(cross_build target name compiler package toolchain host_can_run)
  find_program(${name}_compiler ${compiler})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  set(${name}_dir ${dir} PARENT_SCOPE)
  if(NOT ${host_can_run})
    return()
  elseif(NOT ${name}_compiler)
    set(${name}_missing "the cross-compiler is not installed (${package})" PARENT_SCOPE)
    return()
  endif()
  ExternalProject_Add(${name}_build SOURCE_DIR ${PROJECT_SOURCE_DIR} BINARY_DIR ${dir}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}.cmake
      -DCMAKE_BUILD_TYPE=Release -DHEXPUSH_TESTS=OFF -DHEXPUSH_BENCH=OFF -DHEXPUSH_VM=OFF
    BUILD_ALWAYS ON INSTALL_COMMAND "")
  add_dependencies(${target} ${name}_build)
  set(${name}_missing "it was not built" PARENT_SCOPE)
endfunction()

macro(hexpush_other_builds target)
  # Wine runs hexpush.exe only on an x86-64 machine; on an arm64 one the native
  # rows are the arm64 build.
  string(TOLOWER "${CMAKE_HOST_SYSTEM_PROCESSOR}" host_processor)
  set(windows_missing "Wine runs the x86-64 Windows build only on an x86-64 machine")
  set(arm64_missing "this machine is arm64: the native rows are the arm64 build")
  string(REGEX MATCH "^(x86_64|amd64)$" x86_64_host "${host_processor}")
  string(REGEX MATCH "^(aarch64|arm64)$" arm64_host "${host_processor}")
  if(NOT arm64_host)
    set(foreign_arm64 ON)
  endif()
  cross_build(${target} windows x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64 mingw-w64-x86_64 x86_64_host)
  cross_build(${target} arm64 aarch64-linux-gnu-g++ g++-aarch64-linux-gnu aarch64-linux-gnu foreign_arm64)
  # The web page, built as a user builds it, for the rows the browser runs.
  find_program(emcmake_program emcmake)
  set(browser_dir ${CMAKE_CURRENT_BINARY_DIR}/web)
  set(browser_missing "emscripten is not installed (Debian package emscripten)")
  if(emcmake_program)
    add_custom_target(web_page ALL COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-web ${browser_dir}
      BYPRODUCTS ${browser_dir}/hexpush.html)
    add_dependencies(${target} web_page)
    set(browser_missing "scripts/build-web did not build it")
  endif()
endmacro()
