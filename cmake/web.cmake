# The browser console's page (web/): the page's own files, and xterm.js with
# its fit add-on from the npm registry, pinned by web/package-lock.json.
# They are installed into the build directory (never into the sources) at
# configure time and embedded into the binary (cmake/embed.cmake), so that
# velkor serves every byte of the page itself, the Windows build included.
set(VELKOR_WEB_MODULES "" CACHE PATH
    "A node_modules directory holding web/package-lock.json's packages (default: installed into the build directory with npm ci)")
set(VELKOR_WEB_DIR ${PROJECT_SOURCE_DIR}/web)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELKOR_WEB_DIR}/package-lock.json)
if(NOT VELKOR_WEB_MODULES)
  set(VELKOR_WEB_MODULES ${CMAKE_BINARY_DIR}/web/node_modules)
  set(stamp ${CMAKE_BINARY_DIR}/web/installed-lock.json)
  file(SHA256 ${VELKOR_WEB_DIR}/package-lock.json lockHash)
  set(stampHash "")
  if(EXISTS ${stamp})
    file(SHA256 ${stamp} stampHash)
  endif()
  if(NOT lockHash STREQUAL stampHash)
    find_program(VELKOR_NPM npm)
    if(NOT VELKOR_NPM)
      message(FATAL_ERROR "npm is needed to fetch the page's xterm.js (Debian: apt install npm)")
    endif()
    file(COPY ${VELKOR_WEB_DIR}/package.json ${VELKOR_WEB_DIR}/package-lock.json
         DESTINATION ${CMAKE_BINARY_DIR}/web)
    message(STATUS "Installing the page's packages (web/package-lock.json)")
    # No install scripts: nothing here needs one, and no browser is fetched.
    execute_process(COMMAND ${VELKOR_NPM} ci --ignore-scripts --no-audit --no-fund
                    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/web
                    RESULT_VARIABLE npmResult OUTPUT_QUIET)
    if(NOT npmResult EQUAL 0)
      message(FATAL_ERROR "npm ci in ${CMAKE_BINARY_DIR}/web failed")
    endif()
    file(COPY_FILE ${VELKOR_WEB_DIR}/package-lock.json ${stamp})
  endif()
endif()

set(xterm ${VELKOR_WEB_MODULES}/@xterm/xterm)
set(fit ${VELKOR_WEB_MODULES}/@xterm/addon-fit)
set(VELKOR_WEB_ASSETS
  "/|text/html|${VELKOR_WEB_DIR}/index.html"
  "/console.js|text/javascript|${VELKOR_WEB_DIR}/console.js"
  "/xterm.js|text/javascript|${xterm}/lib/xterm.js"
  "/xterm.css|text/css|${xterm}/css/xterm.css"
  "/addon-fit.js|text/javascript|${fit}/lib/addon-fit.js"
  "/licenses/xterm.txt|text/plain|${xterm}/LICENSE"
  "/licenses/addon-fit.txt|text/plain|${fit}/LICENSE")
set(files)
foreach(entry ${VELKOR_WEB_ASSETS})
  string(REGEX REPLACE "^.*\\|" "" file "${entry}")
  list(APPEND files ${file})
endforeach()
set(VELKOR_WEB_ASSETS_CPP ${CMAKE_BINARY_DIR}/webassets.cpp)
add_custom_command(OUTPUT ${VELKOR_WEB_ASSETS_CPP}
                   COMMAND ${CMAKE_COMMAND} -DOUT=${VELKOR_WEB_ASSETS_CPP}
                           "-DASSETS=${VELKOR_WEB_ASSETS}"
                           -P ${PROJECT_SOURCE_DIR}/cmake/embed.cmake
                   DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/embed.cmake
                   COMMENT "Embedding the browser console's page"
                   VERBATIM)
