// The inputs' common root, the output path of every input, and the walk that hands
// each accepted file to the per-file pipeline.
#pragma once

#include <string>
#include <string_view>

#include "frontend/tool.h"

namespace busfold {

// Sets options.root to the one folder that directly holds every input and makes the
// inputs relative to it. On failure status is 132.
bool find_common_root(ConverterOptions& options, int& status);

// Path helpers on "/"-separated views.
std::string_view path_file_name(std::string_view path);  // after the last "/"
std::string_view path_extension(std::string_view path);  // after the last "." of the name
std::string_view path_parent(std::string_view path);     // up to and including the last "/"

// mf4, mfc, mfe or mfm in any case.
bool is_accepted_extension(std::string_view extension);

// Creates the folders of a relative path below the root one component at a time.
// False when a component exists as something other than a folder or cannot be made, with
// errno saying why.
bool make_folders(const FsRoot* root, std::string_view folder);

}  // namespace busfold
