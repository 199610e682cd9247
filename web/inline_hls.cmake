# Builds the served tv.html: the page with hls.js (the fallback player) inlined where the page
# says /*@HLS_JS@*/, because the server serves only its three files and a TV may have no
# internet. hls.js's licence travels with it, in a comment above the code.
#
#   cmake -DPAGE=<tv.html> -DHLS_JS=<hls.light.min.js> -DLICENSE=<LICENSE> -DOUT=<tv.html> -P inline_hls.cmake
cmake_minimum_required(VERSION 3.25)  # "@NAME@" in a string stays text
file(READ "${PAGE}" page)
set(marker "/*@HLS_JS@*/")
string(FIND "${page}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${PAGE} has no ${marker} marker for hls.js")
endif()
if(EXISTS "${HLS_JS}" AND EXISTS "${LICENSE}")
  file(READ "${HLS_JS}" code)
  file(READ "${LICENSE}" license)
  # The map file is not served, and "</script" inside the code would end the element early.
  string(REGEX REPLACE "\n//# sourceMappingURL=[^\n]*" "" code "${code}")
  string(REPLACE "</script" "<\\/script" code "${code}")
  string(REPLACE "*/" "* /" license "${license}")
  set(inlined "/* hls.js ${HLS_VERSION}, https://github.com/video-dev/hls.js\n${license}*/\n${code}")
else()
  set(inlined "/* hls.js was not bundled: run scripts/setup (npm ci) and build again. */")
endif()
string(REPLACE "${marker}" "${inlined}" page "${page}")
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
