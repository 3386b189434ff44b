#pragma once

#include <string_view>

namespace kqtool {

// A file of the served page, compiled into kqmon from tools/web/ (web/embed_web.cmake writes the
// table at build time), so that the page needs nothing from disk or from any other server.
struct WebAsset {
  std::string_view Path;  // "/index.html"
  std::string_view ContentType;
  std::string_view Body;
};

// The asset at `path`, or null.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace kqtool
