// Writes the man page: the template with its synopsis and options filled in from the
// command-line table that --help prints, so that the two never disagree.
//
//   make_man_page <template> <output>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/busfold_tool.h"
#include "build_info.h"
#include "frontend/tool.h"

int main(int argc, char** argv) {
  using namespace busfold;
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_man_page <template> <output>\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in || std::freopen(argv[2], "w", stdout) == nullptr) {
    std::fprintf(stderr, "make_man_page: cannot read %s or write %s\n", argv[1], argv[2]);
    return 1;
  }
  const std::string version_mark = "@VERSION@";
  for (std::string line; std::getline(in, line);) {
    const int part = line == "@SYNOPSIS@" ? 1 : line == "@OPTIONS@" ? 2 : 0;
    if (part != 0) {
      std::fflush(stdout);
      std::unique_ptr<ConverterOptions> options = tool_create_options();
      options->help_as_man_page = static_cast<std::uint8_t>(part);
      char program[] = "busfold", help[] = "--help";
      char* args[] = {program, help};
      int status = 0;
      converter_parse(*options, 2, args, status);
      tool_release_options(std::move(options));
      std::fflush(stdout);
      continue;
    }
    for (std::size_t at; (at = line.find(version_mark)) != std::string::npos;)
      line.replace(at, version_mark.size(), BUSFOLD_VERSION);
    std::printf("%s\n", line.c_str());
  }
  return std::fclose(stdout) == 0 ? 0 : 1;
}
