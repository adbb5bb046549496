// The viewer's page and scripts (web/), built into the binary so that an installed `lumox view`
// needs no files beside it. The table is generated at build time by embed_web.cmake.
#pragma once

#include <cstddef>

namespace lumox_cli {

struct ViewAsset {
    const char *path;  // "/index.html", "/viewer.js", ...
    const char *type;  // MIME type
    const unsigned char *data;
    size_t size;
};

extern const ViewAsset kViewAssets[];
extern const size_t kViewAssetCount;

}  // namespace lumox_cli
