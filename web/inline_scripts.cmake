# Builds the served tv.html, which must be self-contained: the server serves only its three
# files and a TV may have no internet. Two markers in the page are filled in:
#   /*@HLS_JS@*/  hls.js (the fallback player), its licence in a comment above the code;
#   /*@TV_JS@*/   the page's own parts (SCRIPTS, "|"-separated, in load order).
#
#   cmake -DPAGE=<tv.html> -DHLS_JS=<hls.light.min.js> -DLICENSE=<LICENSE> -DHLS_VERSION=<v>
#         -DSCRIPTS=<a.js|b.js> -DOUT=<tv.html> -P inline_scripts.cmake
cmake_minimum_required(VERSION 3.25)  # "@NAME@" in a string stays text
file(READ "${PAGE}" page)

function(fill marker text)
  string(FIND "${page}" "${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PAGE} has no ${marker} marker")
  endif()
  # "</script" inside the code would end the element early.
  string(REPLACE "</script" "<\\/script" text "${text}")
  string(REPLACE "${marker}" "${text}" page "${page}")
  set(page "${page}" PARENT_SCOPE)
endfunction()

if(EXISTS "${HLS_JS}" AND EXISTS "${LICENSE}")
  file(READ "${HLS_JS}" code)
  file(READ "${LICENSE}" license)
  # The map file is not served.
  string(REGEX REPLACE "\n//# sourceMappingURL=[^\n]*" "" code "${code}")
  string(REPLACE "*/" "* /" license "${license}")
  fill("/*@HLS_JS@*/" "/* hls.js ${HLS_VERSION}, https://github.com/video-dev/hls.js\n${license}*/\n${code}")
else()
  fill("/*@HLS_JS@*/" "/* hls.js was not bundled: run scripts/setup run and build again. */")
endif()

string(REPLACE "|" ";" scripts "${SCRIPTS}")
set(parts "")
foreach(script ${scripts})
  file(READ "${script}" code)
  string(APPEND parts "${code}")
endforeach()
fill("/*@TV_JS@*/" "${parts}")

file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
